#include "dongle_sim/sim_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/clock.h"

bool sim_parse_ipv4(const std::string &text, in_addr *out)
{
    return inet_pton(AF_INET, text.c_str(), out) == 1;
}

std::string sim_addr_text(const sockaddr_in &a)
{
    char buf[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

static bool make_addr(const std::string &addr, uint16_t port, sockaddr_in *sa)
{
    std::memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    return sim_parse_ipv4(addr, &sa->sin_addr);
}

int sim_udp_bind(const std::string &addr, uint16_t port)
{
    sockaddr_in sa;
    if (!make_addr(addr, port, &sa))
        return -1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1, big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (bind(fd, (sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int sim_tcp_listen(const std::string &addr, uint16_t port)
{
    sockaddr_in sa;
    if (!make_addr(addr, port, &sa))
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, (sockaddr *)&sa, sizeof sa) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int sim_send_all(int fd, const void *data, size_t len, int timeout_ms)
{
    const uint8_t *p = (const uint8_t *)data;
    uint64_t deadline = clock_steady_ms() + (uint64_t)timeout_ms;
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        uint64_t now = clock_steady_ms();
        if (now >= deadline)
            return -1;
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, (int)(deadline - now));
    }
    return 0;
}

void sim_sendto(int fd, const void *data, size_t len, const sockaddr_in &to)
{
    for (int tries = 0; tries < 50; tries++) {
        ssize_t n = sendto(fd, data, len, MSG_NOSIGNAL, (const sockaddr *)&to, sizeof to);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS))
            return;
        // A full socket buffer: wait briefly for room rather than lose the datagram.
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 2);
    }
}

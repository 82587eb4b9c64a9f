#include "link/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"

static void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int net_tcp_create(NetSocket *s)
{
    *s = NetSocket{AF_INET, SOCK_STREAM, -1, -1, 0, 0};
    s->fd4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s->fd4 < 0)
        return -1;
    s->open = 1;
    return 0;
}

int net_connect_timeout(NetSocket *s, const sockaddr_in *to, int limit_ms)
{
    if (!s || !s->open || s->family != AF_INET || s->fd4 < 0 || s->connected)
        return -1;
    int one = 1;
    setsockopt(s->fd4, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (s->type == SOCK_STREAM)
        set_nonblocking(s->fd4);
    if (connect(s->fd4, (const sockaddr *)to, sizeof *to) == 0) {
        s->connected = 1;
        return 0;
    }
    if (errno != EINPROGRESS)
        return errno ? errno : EIO;
    pollfd p{s->fd4, POLLOUT, 0};
    int r;
    do {
        r = poll(&p, 1, limit_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        return ETIMEDOUT;
    if (r < 0)
        return errno;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(s->fd4, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err)
        return err;
    s->connected = 1;
    return 0;
}

int net_tcp_receive(NetSocket *s, uint8_t *buf, size_t cap, int wait_ms)
{
    if (!s || !s->open || s->fd4 < 0 || cap == 0)
        return -1;
    uint64_t start = clock_steady_ms();
    for (;;) {
        uint64_t waited = clock_steady_ms() - start;
        int left = waited >= (uint64_t)wait_ms ? 0 : wait_ms - (int)waited;
        pollfd p{s->fd4, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno != EINTR)
            return -3;
        if (r > 0) {
            ssize_t n = recv(s->fd4, buf, cap, 0);
            if (n > 0)
                return (int)n;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return -3;
        }
        if (r == 0 && left == 0)
            return -2;
    }
}

int net_fd_send_all(int fd, const uint8_t *data, size_t len, int limit_ms)
{
    if (fd < 0)
        return -1;
    size_t done = 0;
    uint64_t start = clock_steady_ms();
    while (done < len) {
        ssize_t n = send(fd, data + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -3;
        if (limit_ms >= 0 && clock_steady_ms() - start > (uint64_t)limit_ms)
            return -3;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 500);
    }
    return (int)len;
}

int net_tcp_send(NetSocket *s, const uint8_t *data, size_t len)
{
    if (!s || !s->open || s->fd4 < 0)
        return -1;
    // A peer that stops reading for this long is as good as gone.
    return net_fd_send_all(s->fd4, data, len, 4000);
}

int net_receive_buffer(int fd)
{
    int cur = 0;
    socklen_t len = sizeof cur;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &cur, &len) != 0)
        return 0;
    return cur / 2;
}

// A datagram that finds the buffer full is dropped by the kernel, and each
// one costs a resend round trip or a key-frame request. SO_RCVBUF stops at
// net.core.rmem_max; SO_RCVBUFFORCE goes past it for a process with
// CAP_NET_ADMIN.
static void raise_receive_buffer(int fd, int want)
{
    if (net_receive_buffer(fd) >= want)
        return;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    if (net_receive_buffer(fd) < want)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want);
    const int got = net_receive_buffer(fd);
    static std::atomic<bool> told{false};
    if (got < want && !told.exchange(true))
        std::fprintf(stderr,
                     "kavri-viewer: UDP receive buffer capped at %d KiB (asked for %d KiB): video bursts may be "
                     "dropped; raise it with sysctl -w net.core.rmem_max=%d\n",
                     got / 1024, want / 1024, want);
}

static int bind_udp(int family, uint16_t port, int rcvbuf)
{
    int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    if (family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    // Raise the buffers to at least what is asked; never lower them.
    raise_receive_buffer(fd, rcvbuf);
    int cur = 0, snd = 2048;
    socklen_t len = sizeof cur;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &cur, &len) == 0 && cur < snd)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        rc = bind(fd, (sockaddr *)&a, sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_any;
        rc = bind(fd, (sockaddr *)&a, sizeof a);
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int net_udp_create(NetSocket *s, uint16_t port, int rcvbuf)
{
    *s = NetSocket{AF_UNSPEC, SOCK_DGRAM, -1, -1, 0, 0};
    s->fd4 = bind_udp(AF_INET, port, rcvbuf);
    s->fd6 = bind_udp(AF_INET6, port, rcvbuf);
    if (s->fd4 < 0) {
        net_close(s);
        return -1;
    }
    s->open = 1;
    s->connected = 1;
    return 0;
}

int net_udp_receive(NetSocket *s, uint8_t *buf, size_t cap, sockaddr_storage *from, int wait_ms)
{
    if (!s || !s->open)
        return -1;
    pollfd p[2] = {{s->fd6, POLLIN, 0}, {s->fd4, POLLIN, 0}};
    int r = poll(p, 2, wait_ms);
    if (r <= 0)
        return 0;
    int fd = (p[0].revents & POLLIN) ? s->fd6 : s->fd4;
    socklen_t len = sizeof *from;
    std::memset(from, 0, sizeof *from);
    ssize_t n = recvfrom(fd, buf, cap, 0, (sockaddr *)from, &len);
    return n < 0 ? -1 : (int)n;
}

int net_batch_init(NetBatch *b, int capacity, size_t slot_bytes)
{
    *b = NetBatch{};
    if (capacity < 1 || slot_bytes < 1)
        return -1;
    b->buffers = static_cast<uint8_t *>(std::malloc((size_t)capacity * slot_bytes));
    b->headers = static_cast<mmsghdr *>(std::calloc((size_t)capacity, sizeof(mmsghdr)));
    b->vectors = static_cast<iovec *>(std::calloc((size_t)capacity, sizeof(iovec)));
    b->from = static_cast<sockaddr_storage *>(std::calloc((size_t)capacity, sizeof(sockaddr_storage)));
    if (!b->buffers || !b->headers || !b->vectors || !b->from) {
        net_batch_free(b);
        return -1;
    }
    b->capacity = capacity;
    b->slot_bytes = slot_bytes;
    return 0;
}

void net_batch_free(NetBatch *b)
{
    std::free(b->buffers);
    std::free(b->headers);
    std::free(b->vectors);
    std::free(b->from);
    *b = NetBatch{};
}

uint8_t *net_batch_data(NetBatch *b, int i) { return b->buffers + (size_t)i * b->slot_bytes; }

size_t net_batch_length(const NetBatch *b, int i)
{
    // A datagram longer than the slot was cut to it.
    return std::min<size_t>(b->headers[i].msg_len, b->slot_bytes);
}

const sockaddr_storage *net_batch_from(const NetBatch *b, int i) { return &b->from[i]; }

// Reads what one socket holds into the batch's free slots.
static void receive_into(int fd, NetBatch *b)
{
    const int room = b->capacity - b->count;
    if (fd < 0 || room < 1)
        return;
    for (int i = b->count; i < b->capacity; i++) {
        b->vectors[i] = iovec{b->buffers + (size_t)i * b->slot_bytes, b->slot_bytes};
        msghdr &h = b->headers[i].msg_hdr;
        h = msghdr{};
        h.msg_name = &b->from[i];
        h.msg_namelen = sizeof b->from[i];
        h.msg_iov = &b->vectors[i];
        h.msg_iovlen = 1;
        b->headers[i].msg_len = 0;
    }
    int n;
    do {
        n = recvmmsg(fd, b->headers + b->count, (unsigned)room, MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        b->count += n;
}

int net_udp_receive_batch(NetSocket *s, NetBatch *b, int wait_ms)
{
    if (!s || !s->open || !b || b->capacity < 1)
        return -1;
    b->count = 0;
    pollfd p[2] = {{s->fd6, POLLIN, 0}, {s->fd4, POLLIN, 0}};
    if (poll(p, 2, wait_ms) <= 0)
        return 0;
    if (p[0].revents & POLLIN)
        receive_into(s->fd6, b);
    if (p[1].revents & POLLIN)
        receive_into(s->fd4, b);
    return b->count;
}

void net_udp_send_to(NetSocket *s, const uint8_t *data, size_t len, const sockaddr *to)
{
    if (!s || !s->open || !to)
        return;
    int fd = to->sa_family == AF_INET6 ? s->fd6 : s->fd4;
    socklen_t alen = to->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (fd < 0)
        return;
    uint64_t start = clock_steady_ms();
    for (;;) {
        ssize_t n = sendto(fd, data, len, MSG_NOSIGNAL, to, alen);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return;
        if (clock_steady_ms() - start > 1000)
            return;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
}

void net_close(NetSocket *s)
{
    if (!s)
        return;
    if (s->fd4 >= 0)
        close(s->fd4);
    if (s->fd6 >= 0)
        close(s->fd6);
    s->fd4 = s->fd6 = -1;
    s->open = 0;
    s->connected = 0;
}

uint16_t net_port_of(const sockaddr *a)
{
    if (a->sa_family == AF_INET)
        return ntohs(((const sockaddr_in *)a)->sin_port);
    if (a->sa_family == AF_INET6)
        return ntohs(((const sockaddr_in6 *)a)->sin6_port);
    return 0;
}

void net_set_port(sockaddr *a, uint16_t port)
{
    if (a->sa_family == AF_INET)
        ((sockaddr_in *)a)->sin_port = htons(port);
    else if (a->sa_family == AF_INET6)
        ((sockaddr_in6 *)a)->sin6_port = htons(port);
}

#include "link/hid_mode.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "link/net.h"
#include "protocol/password.h"
#include "protocol/wire_defs.h"

int hidmode_switch(const DeviceAddress &address, int speed, const char *password)
{
    if (address.sa.sa_family != AF_INET || (speed != 0 && speed != 1))
        return -1;
    size_t n = password ? strnlen(password, 17) : 0;
    if (n > 16)
        return -1;

    uint8_t r[16];
    hidmode_make_random(r);
    char command[128];
    int len = hidmode_build_command(r, password, n, speed, command, sizeof command);
    if (len <= 0)
        return -1;

    NetSocket s;
    if (net_tcp_create(&s) != 0)
        return -1;
    sockaddr_in to = address.in4;
    to.sin_port = htons(WIRE_PORT_MANAGEMENT);
    // A connection that is not made within the second is a failure: sending on
    // a socket that never connected reaches nobody.
    if (net_connect_timeout(&s, &to, 1000) != 0) {
        net_close(&s);
        return -1;
    }
    net_tcp_send(&s, reinterpret_cast<const uint8_t *>(command), (size_t)len);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    net_close(&s);
    return 0;
}

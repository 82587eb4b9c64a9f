// Small socket helpers of the simulated dongle (IPv4 only: one instance owns
// one IPv4 address).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

// A UDP socket bound to addr:port, non-blocking, with large buffers. -1 on error.
int sim_udp_bind(const std::string &addr, uint16_t port);
// A listening TCP socket on addr:port (address reuse on). -1 on error.
int sim_tcp_listen(const std::string &addr, uint16_t port);
// Sends the whole buffer on a stream socket, waiting up to timeout_ms in all.
// Returns 0 when everything went, -1 otherwise.
int sim_send_all(int fd, const void *data, size_t len, int timeout_ms);
// Sends one datagram; drops it silently when the socket cannot take it.
void sim_sendto(int fd, const void *data, size_t len, const sockaddr_in &to);
bool sim_parse_ipv4(const std::string &text, in_addr *out);
std::string sim_addr_text(const sockaddr_in &a);

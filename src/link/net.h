// Sockets of the device link: the TCP control stream of protocol 1 and the
// viewer's UDP port (one IPv4 and one IPv6 socket, both on port 36549).
//
// A socket object closes both of its sockets together; an absent socket is -1.
// Results follow the link's convention: 0 or a positive count on success, -1
// for an unusable object, -2 for a time-out, -3 for a socket error or a peer
// that closed the stream.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

struct NetSocket {
    int family;     // AF_INET only (stream), or AF_UNSPEC for IPv4 and IPv6 (datagram)
    int type;       // SOCK_STREAM or SOCK_DGRAM
    int fd4, fd6;   // -1 when absent
    int open;
    int connected;  // stream: connected; datagram: bound
};

// A TCP socket object (IPv4). Returns 0 or -1.
int net_tcp_create(NetSocket *s);
// Connects with a limit in milliseconds: TCP no-delay, non-blocking, waits for
// writability. Refuses an object that is not open, not IPv4 or already
// connected (-1). Returns 0, or the system error code (positive) on failure.
int net_connect_timeout(NetSocket *s, const sockaddr_in *to, int limit_ms);
// Waits up to wait_ms for readability; returns the bytes received (at least
// 1), -2 when nothing came in that time, -3 on an error or a closed stream,
// -1 for an unusable object.
int net_tcp_receive(NetSocket *s, uint8_t *buf, size_t cap, int wait_ms = 1000);
// Sends every byte, waiting for writability in slices of 500 ms while the
// socket is busy (at most limit_ms in all; the control stream never waits
// longer than its own silence limit). Returns len, -3 on an error, -1 for an
// unusable object.
int net_tcp_send(NetSocket *s, const uint8_t *data, size_t len);
// Sends on a connected TCP file descriptor (used by the HID mode switch and
// the firmware upload). Same results as net_tcp_send.
int net_fd_send_all(int fd, const uint8_t *data, size_t len, int limit_ms);

// The viewer's UDP sockets: IPv4 and IPv6 (v6-only), non-blocking, address
// and port reuse, receive buffers of at least rcvbuf bytes and send buffers
// of at least 2048, both bound to port. Returns 0 when at least the IPv4
// socket is bound, else -1. Where the system caps the receive buffer below
// rcvbuf (net.core.rmem_max; SO_RCVBUFFORCE is tried too, which needs
// CAP_NET_ADMIN), the process says so once on standard error.
int net_udp_create(NetSocket *s, uint16_t port, int rcvbuf);

// Receive buffers of the viewer's UDP port: enough for several key frames
// of a 1080p stream arriving back to back while the receiver waits for a core.
constexpr int NET_UDP_RECEIVE_BUFFER = 4 << 20;

// The receive size granted to a socket, as the process asked for it (the
// kernel reports twice that, for its bookkeeping). 0 when it cannot be read.
int net_receive_buffer(int fd);

// A batch of datagrams read with one system call per socket (recvmmsg).
// Each slot holds one datagram of at most slot_bytes (longer ones are cut).
struct mmsghdr;
struct iovec;
struct NetBatch {
    int capacity;
    size_t slot_bytes;
    uint8_t *buffers;  // capacity slots of slot_bytes
    mmsghdr *headers;
    iovec *vectors;
    sockaddr_storage *from;
    int count;         // datagrams in the batch after net_udp_receive_batch
};
// Allocates a batch; 0, or -1 when memory runs out (nothing to free then).
int net_batch_init(NetBatch *b, int capacity, size_t slot_bytes);
void net_batch_free(NetBatch *b);
// Datagram i (0 <= i < count): its bytes (writable, the slot's own), length
// and source address.
uint8_t *net_batch_data(NetBatch *b, int i);
size_t net_batch_length(const NetBatch *b, int i);
const sockaddr_storage *net_batch_from(const NetBatch *b, int i);

// Waits up to wait_ms for either socket, then takes every datagram already
// queued, up to the batch's capacity, without waiting again (the IPv6
// socket's first). Returns the count (also in b->count), 0 when nothing came,
// -1 for an unusable object.
int net_udp_receive_batch(NetSocket *s, NetBatch *b, int wait_ms);
// Waits up to wait_ms for either socket and receives one datagram (the IPv6
// one first when both are readable) with its source address. Returns its
// length, or 0 or less when nothing came.
int net_udp_receive(NetSocket *s, uint8_t *buf, size_t cap, sockaddr_storage *from, int wait_ms);
// Sends on the socket of the address's family; waits for writability while it
// would block (up to 1 s); other errors drop the datagram silently.
void net_udp_send_to(NetSocket *s, const uint8_t *data, size_t len, const sockaddr *to);

void net_close(NetSocket *s);
uint16_t net_port_of(const sockaddr *a);
void net_set_port(sockaddr *a, uint16_t port);

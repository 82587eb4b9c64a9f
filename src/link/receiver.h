// The receiver's handling of one datagram, apart from its socket and thread.
// Internal to the link core.
//
// receiver_thread_main (link_context.h) is the socket loop around these: it
// creates a Receiver, hands every datagram it receives to receiver_datagram
// and calls receiver_tick after a wait that brought nothing, so that the
// silence rule runs while the device says nothing. Harnesses and tests may
// drive a Receiver the same way on a LinkContext that link_start never
// started (no threads, no sockets, no decoder): acknowledgements then go
// nowhere, and pictures and sound are dropped.
//
// Threads and ownership: one thread at a time per Receiver (the receiver
// thread in the running link). The Receiver owns its picture assembly and
// its receive buffer; the LinkContext must outlive it.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

struct LinkContext;
struct Receiver;

// A receiver with an empty picture assembly. Never null (allocation failure
// throws as new does).
Receiver *receiver_create(LinkContext *l);
// Frees the receiver and sets *r to null. Null or an already-null pointer is
// fine.
void receiver_destroy(Receiver **r);

// One datagram of len bytes from `from`: a discovery answer (from the
// discovery port) goes to the device listeners; otherwise, while a network
// connection is wanted, the silence rule runs and a datagram from the
// target's address is walked as the link's protocol generation says. The
// walk may change the bytes in place (inverted payloads are turned back), so
// data must be writable. Bytes past the receive buffer's size are ignored,
// as the socket would have cut them. A null data or from, or len 0, counts as
// a wait that brought nothing.
void receiver_datagram(Receiver *r, uint8_t *data, size_t len, const sockaddr_storage *from);

// A wait that brought nothing: only the silence rule (more than 4 s without
// traffic from the device resets the connection).
void receiver_tick(Receiver *r);

// Whole datagram sequences through the receiver's state machine, on a link
// that was never started: no threads of its own, no sockets (every
// acknowledgement and control packet goes nowhere), the silence rule on the
// real clock.
//
// Input:
//   byte 0  bit 0 protocol 2 (else 1), bit 1 active, bit 2 connected (only
//           with active), bit 3 target on IPv6, bit 4 a real video decoder
//           (its own thread, no listeners), bit 5 an audio ring (fake
//           output), bit 6 the device has been silent for long, bit 7 USB
//   byte 1  bits 0-2 state (mod 6), bit 3 audio on, bit 4 input on, bit 5
//           stop control, bit 6 a connect request waits in the control queue
//           with sequence 9 (protocol 2, active), bit 7 an acknowledgement
//           interval of 20 ms
//   then datagrams: a tag byte (bit 0 from another address, bit 1 from the
//   discovery port, bit 2 from the other address family, bit 3 a wait that
//   brought nothing comes first), a u16 little-endian length and that many
//   bytes (fewer when the input ends).
#include <arpa/inet.h>

#include <algorithm>

#include "fuzz.h"

#include "base/bytes.h"
#include "link/link_context.h"
#include "link/receiver.h"
#include "protocol/wire.h"
#include "platform/audio_output.h"

// The target is 192.168.1.50 or fd00::50; the other address ends in 51.
static void make_address(sockaddr_storage *ss, bool v6, bool other, uint16_t port)
{
    std::memset(ss, 0, sizeof *ss);
    ss->ss_family = v6 ? AF_INET6 : AF_INET;
    auto *a4 = reinterpret_cast<sockaddr_in *>(ss);
    a4->sin_port = htons(port); // where both families keep it
    uint8_t *a = v6 ? reinterpret_cast<sockaddr_in6 *>(ss)->sin6_addr.s6_addr : (uint8_t *)&a4->sin_addr;
    std::memcpy(a, v6 ? "\xfd" : "\xc0\xa8\x01", v6 ? 1 : 3);
    a[v6 ? 15 : 3] = (v6 ? 0x50 : 50) + other;
}

static void check(LinkContext *l)
{
    FUZZ_FAIL_IF(l->state.load() > LINK_STATE_STREAMING || l->admitted.load() > 1);
    // Only a connection the link wants can be connected.
    FUZZ_FAIL_IF(l->connected.load() && !l->active.load());
    std::lock_guard<std::mutex> g(l->control_lock);
    uint32_t n = 0;
    const ControlPacket *prev = nullptr;
    for (const ControlPacket *p = l->control_head; p; p = p->next) {
        FUZZ_FAIL_IF(p->prev != prev || p->size < 16 || p->size > sizeof p->bytes);
        prev = p;
        n++;
    }
    FUZZ_FAIL_IF(n != l->control_count || prev != l->control_tail);
    // What the device sends must not grow the control queue without bound:
    // it holds at most the packets of one handshake and one of each setting
    // besides the one in flight.
    FUZZ_FAIL_IF(n > 16);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The audio ring's outputs are fakes: no sound device is opened. Set
    // here rather than in an initializer, which the corpus replay lacks.
    audio_output_use_fake(true);
    uint8_t c0 = data[0], c1 = data[1];
    size_t at = 2;

    LinkContext *l = new LinkContext();
    l->protocol = (c0 & 1) ? 2 : 1;
    l->active = (c0 >> 1) & 1;
    l->connected = (c0 & 6) == 6;
    bool v6 = (c0 >> 3) & 1;
    if (c0 & 0x10)
        l->decoder = decoder_create(nullptr, nullptr);
    if (c0 & 0x20)
        l->audio = audio_ring_create(link_audio_ring_output());
    l->last_traffic_ms = (c0 & 0x40) ? 0 : link_now_ms();
    l->usb_mode = (c0 >> 7) & 1;
    l->state = (c1 & 7) % 6;
    l->audio_on = (c1 >> 3) & 1;
    l->input_on = (c1 >> 4) & 1;
    l->stop_control = (c1 >> 5) & 1;
    if (c1 & 0x80)
        l->ack_interval_us = 20000;
    l->input_queue = queue_create();
    sockaddr_storage target;
    make_address(&target, v6, false, WIRE_PORT_STREAM);
    std::memcpy(&l->device_address, &target, sizeof l->device_address);
    if ((c1 & 0x40) && (c0 & 3) == 3) {
        l->control_seq = 8;
        control_queue_connect_request(l);
    }

    Receiver *r = receiver_create(l);
    while (at < size) {
        const uint8_t tag = data[at++];
        size_t len = at + 2 <= size ? rd_le16(data + at) : 0;
        at = std::min(at + 2, size);
        len = std::min(len, size - at);
        // The walk changes bytes in place: give it its own exact-size copy
        // (so that the address sanitizer sees a read past its end).
        std::vector<uint8_t> buf(data + at, data + at + len);
        at += len;
        sockaddr_storage from;
        make_address(&from, v6 != ((tag >> 2) & 1), tag & 1, (tag & 2) ? WIRE_PORT_DISCOVERY : WIRE_PORT_STREAM);
        if (tag & 8) {
            receiver_tick(r);
            check(l);
        }
        receiver_datagram(r, buf.data(), buf.size(), &from);
        check(l);
    }

    receiver_destroy(&r);
    FUZZ_FAIL_IF(r);
    {
        std::lock_guard<std::mutex> g(l->control_lock);
        control_queue_clear(l);
    }
    queue_destroy(&l->input_queue);
    decoder_destroy(&l->decoder);
    audio_ring_destroy(&l->audio);
    delete l;
    return 0;
}

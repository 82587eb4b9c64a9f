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
#include "fuzz.h"
#include <arpa/inet.h>

#include "base/bytes.h"
#include "link/link_context.h"
#include "link/receiver.h"
#include "protocol/wire.h"
#include "platform/audio_output.h"

static const uint8_t kTarget4[4] = {192, 168, 1, 50};
static const uint8_t kOther4[4] = {192, 168, 1, 51};
static const uint8_t kTarget6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x50};
static const uint8_t kOther6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x51};

static void make_address(sockaddr_storage *ss, bool v6, bool other, uint16_t port)
{
    std::memset(ss, 0, sizeof *ss);
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        std::memcpy(&a->sin6_addr, other ? kOther6 : kTarget6, 16);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        std::memcpy(&a->sin_addr, other ? kOther4 : kTarget4, 4);
    }
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
        uint8_t tag = data[at++];
        size_t len = 0;
        if (at + 2 <= size) {
            len = rd_le16(data + at);
            at += 2;
        } else {
            at = size;
        }
        if (len > size - at)
            len = size - at;
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

// The sender thread: protocol-2 control packets sent stop-and-wait from the
// control queue, and input records gathered into numbered batches that are
// resent until the device acknowledges them.
//
// Control packets: the next goes out only after the device acknowledged the
// head (same type and sequence) or the head expired after 4000 ms; a head is
// resent when more than 100 ms passed since the last retransmission of any
// head, tested at least every 20 ms. Input batches are resent every 10 ms for
// up to 200 ms; a batch given up is not sent again.
#include <cstring>

#include "base/bytes.h"
#include "link/link_context.h"
#include "protocol/password.h"
#include "protocol/wire.h"

static const uint64_t kControlExpiryMs = 4000;
static const uint64_t kControlResendMs = 100;
static const uint64_t kBatchResendMs = 10;
static const uint64_t kBatchGiveUpMs = 200;

void sender_wake(LinkContext *l)
{
    if (l->sender_wake)
        semaphore_release(l->sender_wake);
}

void control_queue_clear(LinkContext *l)
{
    ControlPacket *p = l->control_head;
    while (p) {
        ControlPacket *next = p->next;
        delete p;
        p = next;
    }
    l->control_head = l->control_tail = nullptr;
    l->control_count = 0;
    l->head_sent = 0;
}

static void control_remove_head(LinkContext *l)
{
    ControlPacket *p = l->control_head;
    if (!p)
        return;
    l->control_head = p->next;
    if (l->control_head)
        l->control_head->prev = nullptr;
    else
        l->control_tail = nullptr;
    l->control_count--;
    l->head_sent = 0;
    delete p;
}

void control_queue_packet(LinkContext *l, const uint8_t *bytes, size_t size)
{
    if (!l->active.load() || size < 16 || size > sizeof(ControlPacket::bytes))
        return;
    ControlPacket *p = new ControlPacket();
    std::memcpy(p->bytes, bytes, size);
    p->size = (uint16_t)size;
    std::lock_guard<std::mutex> g(l->control_lock);
    l->control_seq++;
    wr_le32(p->bytes + 10, l->control_seq);
    p->enqueued_ms = link_now_ms();
    p->prev = l->control_tail;
    if (l->control_tail)
        l->control_tail->next = p;
    else
        l->control_head = p;
    l->control_tail = p;
    l->control_count++;
    sender_wake(l);
}

void control_queue_setting(LinkContext *l, uint8_t setting, uint8_t value)
{
    {
        // A setting still waiting behind the head is brought up to date in
        // place instead of being queued again: the device ends up in the same
        // state, and a device that keeps asking for settings (a run of start
        // acknowledgements or video-state packets, each with a new sequence)
        // cannot grow the queue without bound. The head may be on its way
        // already, so it is never changed.
        std::lock_guard<std::mutex> g(l->control_lock);
        for (ControlPacket *p = l->control_head ? l->control_head->next : nullptr; p; p = p->next) {
            if ((p->bytes[5] & 0x7f) == P2_TYPE_SETTING && p->size == 16 + P2_SETTING_PAYLOAD &&
                p->bytes[16] == setting) {
                p->bytes[17] = value;
                return;
            }
        }
    }
    uint8_t pkt[16 + P2_SETTING_PAYLOAD];
    p2_build_setting(pkt, 0, setting, value);
    control_queue_packet(l, pkt, sizeof pkt);
}

void control_queue_connect_request(LinkContext *l)
{
    char password[17];
    {
        std::lock_guard<std::mutex> g(l->password_lock);
        std::memcpy(password, l->password, sizeof password);
    }
    uint8_t nonce[16], payload[P2_CONNECT_REQUEST_PAYLOAD], pkt[16 + P2_CONNECT_REQUEST_PAYLOAD];
    password_make_nonce(nonce);
    password_build_connect_payload(password, nonce, payload);
    p2_build_connect_request(pkt, 0, payload);
    control_queue_packet(l, pkt, sizeof pkt);
    std::memset(password, 0, sizeof password);
}

bool control_ack_check(LinkContext *l, uint8_t type, uint32_t seq)
{
    std::lock_guard<std::mutex> g(l->control_lock);
    if (l->control_count == 0 || seq <= l->last_acked_control)
        return false;
    l->last_acked_control = seq;
    ControlPacket *h = l->control_head;
    if (h && (h->bytes[5] & 0x7f) == type && rd_le32(h->bytes + 10) == seq) {
        control_remove_head(l);
        sender_wake(l);
    }
    return true;
}

static void send_to_device(LinkContext *l, const uint8_t *data, size_t n)
{
    DeviceAddress to;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        to = l->device_address;
    }
    net_udp_send_to(&l->udp, data, n, &to.sa);
}

void link_send_disconnect_p2(LinkContext *l)
{
    uint8_t pkt[16];
    p2_build_disconnect(pkt);
    for (int i = 0; i < 3; i++) {
        if (i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        send_to_device(l, pkt, sizeof pkt);
    }
}

namespace {

struct Batch {
    bool outstanding = false;
    uint32_t number = 0;      // counter: the first batch is 1, never reset
    unsigned resends = 0;     // 1..255, then wraps to 0
    uint64_t first_ms = 0, last_ms = 0;
    size_t header = 0;        // 8 or 16
    size_t size = 0;          // header + records
    uint8_t bytes[16 + 4096 + 260];
    uint8_t copy[16 + 4096 + 260];
};

}  // namespace

void sender_thread_main(LinkContext *l)
{
    Semaphore sem;
    Batch *b = new Batch();

    while (!l->stop_all.load()) {
        uint64_t now = link_now_ms();
        bool expired_connect = false, expired_start = false;
        uint8_t send_buf[sizeof(ControlPacket::bytes)];
        size_t send_len = 0;
        bool control_waiting;

        // 1. The head of the control queue.
        {
            std::lock_guard<std::mutex> g(l->control_lock);
            ControlPacket *h = l->control_head;
            if (h) {
                // Read again under the lock: a packet queued since the top
                // of this turn is newer than `now`, and the difference
                // would wrap round and expire it at once.
                now = link_now_ms();
                if (now - h->enqueued_ms > kControlExpiryMs) {
                    expired_connect = (h->bytes[5] & 0x7f) == P2_TYPE_CONNECT;
                    expired_start = (h->bytes[5] & 0x7f) == P2_TYPE_START;
                    control_remove_head(l);
                } else if (!l->head_sent) {
                    std::memcpy(send_buf, h->bytes, h->size);
                    send_len = h->size;
                    l->head_sent = 1;
                } else if (now - l->last_resend_ms > kControlResendMs) {
                    l->last_resend_ms = now;
                    std::memcpy(send_buf, h->bytes, h->size);
                    send_len = h->size;
                }
            }
        }
        if (send_len)
            send_to_device(l, send_buf, send_len);
        if (expired_connect) {
            link_reset(l);
            continue;
        }
        if (expired_start) {
            // The device admitted us but never took the connection start: it
            // will send no pictures, while its stream parameters would keep
            // the silence rule from ever ending the connection. End it, and
            // tell the device.
            if (l->active.load()) {
                link_send_disconnect_p2(l);
                link_reset(l);
            }
            continue;
        }

        // 2. The outstanding input batch.
        if (b->outstanding) {
            if (l->input_ack.load() == b->number) {
                b->outstanding = false;
                continue;
            }
            if (now - b->last_ms > kBatchResendMs) {
                b->resends = (b->resends + 1) & 0xff;
                size_t n = b->size;
                if (b->header == 16) {
                    n = (size_t)p2_batch_resend_copy(b->copy, sizeof b->copy, b->bytes, b->size, b->resends);
                } else {
                    std::memcpy(b->copy, b->bytes, b->size);
                }
                send_to_device(l, b->copy, n);
                b->last_ms = now;
            }
            if (now - b->first_ms > kBatchGiveUpMs) {
                b->outstanding = false;
                continue;
            }
        }

        // 3. A new batch from the input queue.
        if (!b->outstanding) {
            bool p2 = l->protocol.load() >= 2;
            size_t header = p2 ? 16 : 8;
            size_t records = 0;
            {
                std::lock_guard<std::mutex> g(l->control_lock);
                while (records < INPUT_BATCH_MAX_RECORD_BYTES) {
                    int64_t next = queue_peek_length(l->input_queue);
                    if (next < 0 || header + records + (size_t)next > sizeof b->bytes)
                        break;
                    QueueElement *e = queue_pop(l->input_queue);
                    if (!e)
                        break;
                    std::memcpy(b->bytes + header + records, e->data, e->length);
                    records += e->length;
                    queue_element_free(e);
                }
            }
            if (records) {
                b->number++;
                b->resends = 0;
                b->header = header;
                b->size = header + records;
                if (p2)
                    p2_write_batch_header(b->bytes, b->number, (uint16_t)records);
                else
                    p1_write_batch_header(b->bytes, b->number, (uint16_t)records);
                send_to_device(l, b->bytes, b->size);
                b->first_ms = b->last_ms = link_now_ms();
                b->outstanding = true;
            }
        }

        // 4. Wait. Work that arrived since it was last looked at (a record
        // queued, a head not yet sent) is taken at once: its producer saw no
        // published semaphore and released nothing.
        bool pending;
        {
            std::lock_guard<std::mutex> g(l->control_lock);
            control_waiting = l->control_count > 0;
            pending = (l->control_head && !l->head_sent) ||
                      (!b->outstanding && queue_count(l->input_queue) > 0);
            l->sender_wake = &sem;
        }
        int wait_ms = -1;
        if (b->outstanding) {
            // Batches are resent every 10 ms, so wake for that too.
            uint64_t due = b->last_ms + kBatchResendMs + 1, t = link_now_ms();
            wait_ms = due > t ? (int)(due - t) : 0;
        }
        if (control_waiting && (wait_ms < 0 || wait_ms > 20))
            wait_ms = 20;
        if (!pending && !l->stop_all.load() && wait_ms != 0)
            semaphore_wait(&sem, wait_ms);
        {
            std::lock_guard<std::mutex> g(l->control_lock);
            l->sender_wake = nullptr;
        }
    }
    delete b;
}

// The device link's one state record, shared by its threads. Internal to the
// link core: the user interface goes through link.h.
//
// Threads: sender, receiver, decoder and audio player run from link start to
// link stop; a scan thread runs per scan; the connection thread runs for a
// protocol-1 or USB connection.
//
// Cross-thread flags are atomics written by one thread and read by others
// without a lock; readers tolerate a value one loop turn stale. Locks, and the
// order nested ones are taken in:
//   control_lock, then the input queue's own lock: the control queue, the
//     sender's wake pointer, moving input records into a batch;
//   audio_lock, then the ring's own lock: audio format changes against pushes;
//   tcp_lock: sends on the control stream and closing it; the USB handle.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "media/audio_ring.h"
#include "media/decoder.h"
#include "protocol/device_record.h"
#include "link/link.h"
#include "base/listeners.h"
#include "link/net.h"
#include "base/queue.h"
#include "base/semaphore.h"
#include "platform/usb.h"

// One protocol-2 control packet waiting in the control queue: the 16-byte
// header and up to 84 payload bytes.
struct ControlPacket {
    ControlPacket *next, *prev;
    uint64_t enqueued_ms;  // steady clock
    uint16_t size;         // header + payload
    uint8_t bytes[16 + 84];
};

struct LinkContext {
    LinkOptions options{};
    uint16_t viewer_port = 36549;

    NetSocket tcp{AF_INET, SOCK_STREAM, -1, -1, 0, 0};  // control stream of protocol 1
    NetSocket udp{AF_UNSPEC, SOCK_DGRAM, -1, -1, 0, 0}; // the viewer's UDP sockets
    bool udp_ok = false;

    std::atomic<uint32_t> audio_on{0}, input_on{0}, stream_switch{1};
    std::atomic<uint32_t> stop_all{0}, stop_control{0}, active{0}, connected{0}, admitted{0};
    std::atomic<uint32_t> usb_mode{0}, video_present{0};
    std::mutex password_lock;
    char password[17] = {0};
    std::atomic<int32_t> protocol{-1};
    std::atomic<uint32_t> state{0};

    std::mutex subnet_lock;
    uint32_t subnets[128] = {0};
    int32_t subnet_count = 0;

    std::atomic<uint32_t> ack_interval_us{0};  // bytes 12-15 of the last stream parameters
    uint8_t stream_params[16] = {0};

    // One owner for the connection: select target, connect, disconnect,
    // unlock and stop run under op_lock, which also guards stream_thread.
    // The device listeners select targets on the receiver and scan threads
    // while the user interface connects and disconnects on its own; without
    // the lock two threads would join or replace the connection thread at
    // once. Taken before target_lock, control_lock and tcp_lock; never taken
    // by the connection thread (the holder may be waiting for it to end).
    std::mutex op_lock;
    // An address the operator typed: its discovery probe is out, and the
    // answer's record (with the firmware version that picks the protocol
    // generation) is connected. Should nothing answer by typed_deadline_ms,
    // the typed record is connected as it is (protocol 1).
    std::atomic<uint32_t> typed_pending{0};
    std::atomic<uint64_t> typed_deadline_ms{0};  // steady clock
    DeviceRecord typed_record{};                 // target_lock
    // Protocol 1: a key-frame request waiting for the connection thread,
    // which alone writes to the control stream from the stream's own loop
    // (a stalled stream must not hold up the receiver).
    std::atomic<uint32_t> p1_key_request{0};
    std::mutex tcp_lock;
    UsbStream *usb_handle = nullptr;  // the open stream-mode device of the USB transport (tcp_lock)
    std::atomic<uint32_t> password_sent{0};  // protocol 1: a password went out on this connection
    std::thread stream_thread;
    std::mutex target_lock;
    DeviceRecord target{};
    DeviceAddress device_address{};
    uint32_t zero_setting = 0;
    std::atomic<uint64_t> last_traffic_ms{0};  // steady clock
    // A network connection lost to silence or a broken control stream (not
    // ended by the operator or a new target): while the link stays idle, the
    // receiver probes that one address about once a second, so that the
    // device's answer reaches the device listeners when it is back. Cleared
    // by link_disconnect and by a target at another address.
    std::atomic<uint32_t> reprobe{0};
    DeviceAddress reprobe_address{};  // target_lock
    std::atomic<uint32_t> last_frame{0}, last_audio{0}, key_frame_seen{0};
    std::atomic<uint64_t> key_request_ms{0};  // steady clock of the last key-frame request
    // What the receiver needs of the stream's SPS to read frame_num from a
    // slice header (link_note_codec): log2_max_frame_num in bits 0-4 (0
    // while unknown), separate_colour_plane_flag in bit 8,
    // gaps_in_frame_num_value_allowed_flag in bit 9.
    std::atomic<uint32_t> frame_num_info{0};
    std::thread receiver_thread;
    std::atomic<uint32_t> receiving{0};
    // Stream statistics (stream_stats.h), counted by the receiver thread.
    std::atomic<uint64_t> stat_datagrams{0}, stat_video_bytes{0}, stat_fragments{0}, stat_duplicates{0};
    std::atomic<uint64_t> stat_resent{0}, stat_lost{0}, stat_pictures{0}, stat_abandoned{0};

    VideoDecoder *decoder = nullptr;
    AudioRing *audio = nullptr;
    std::mutex audio_lock;

    std::atomic<uint32_t> input_ack{0};
    std::mutex control_lock;
    std::thread sender_thread;
    Semaphore *sender_wake = nullptr;
    Queue *input_queue = nullptr;
    ControlPacket *control_head = nullptr, *control_tail = nullptr;
    uint32_t control_count = 0;
    uint32_t last_acked_control = 0;
    uint32_t control_seq = 0;
    std::atomic<uint32_t> last_device_control{0};
    uint32_t head_sent = 0;
    uint64_t last_resend_ms = 0;

    std::atomic<uint32_t> scanning{0};
    std::mutex scan_lock;  // guards scan_thread against two starters
    std::thread scan_thread;

    ListenerList<int> state_listeners;
    ListenerList<int> admitted_listeners;
    ListenerList<> scan_started_listeners;
    ListenerList<> scan_finished_listeners;
    DeviceListenerList device_listeners;
    VideoSizeListeners video_size_listeners;
    FrameListeners frame_listeners;
    PacketListeners packet_listeners;  // every access unit submitted (recording)
    PcmListeners pcm_listeners;        // every PCM push and format (recording)
};

// Internal operations shared by the link's source files.
void link_reset(LinkContext *l);
void link_set_state(LinkContext *l, uint32_t state);
void link_set_admitted(LinkContext *l, uint32_t admitted);
// The network connection to the target was lost (silence, broken stream):
// start probing its address (see reprobe).
void link_watch_lost(LinkContext *l);
uint64_t link_now_ms(void);  // steady clock
// The receiver's end of a typed address: a discovery answer from it
// (answer) or its time running out (null) connects. Takes op_lock.
void link_typed_answer(LinkContext *l, const DeviceRecord *answer);
// Whether a datagram's source is the typed address awaiting its answer.
bool link_typed_from(LinkContext *l, const sockaddr_storage *from);
// Sends the discovery probe of a scan to one IPv4 address.
void link_probe_address(LinkContext *l, const DeviceAddress *address);

// A codec header (or a picture opening with an SPS) on its way to the
// decoder: keeps what reading frame_num needs (frame_num_info).
void link_note_codec(LinkContext *l, const uint8_t *data, size_t n);
// A stand-in for the steady clock, for tests that must place a clock read
// exactly (nullptr: the real clock). Set only while no link thread runs.
extern uint64_t (*link_test_clock)(void);

// Sender (sender.cpp).
void sender_thread_main(LinkContext *l);
void sender_wake(LinkContext *l);               // under control_lock
void control_queue_packet(LinkContext *l, const uint8_t *header_and_payload, size_t size);
void control_queue_setting(LinkContext *l, uint8_t setting, uint8_t value);
void control_queue_connect_request(LinkContext *l);
void control_queue_clear(LinkContext *l);       // under control_lock
bool control_ack_check(LinkContext *l, uint8_t type, uint32_t seq);
void link_send_disconnect_p2(LinkContext *l);

// Receiver (receiver.cpp) and the protocol-1 connection (connection.cpp).
void receiver_thread_main(LinkContext *l);
void connection_thread_main(LinkContext *l);
int link_tcp_send(LinkContext *l, const uint8_t *data, size_t n);  // under tcp_lock, while connected

// Scan (scan.cpp).
void scan_thread_main(LinkContext *l);
int link_default_adapters(void *context, uint32_t *addresses, int max);

// The platform's audio output as the audio ring plays into it.
const AudioRingOutput *link_audio_ring_output(void);

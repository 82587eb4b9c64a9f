// The sender's control queue against a clock the test places exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/link_context.h"
#include "protocol/wire.h"
#include "support/wait.h"

namespace {

LinkContext *g_link;
std::atomic<bool> g_queue_on_next_read{false};
std::atomic<uint64_t> g_ms{1000000};

// Every read moves the clock on a millisecond. Armed, the next read (the
// sender's at the top of its turn, before it takes the control lock) first
// queues a setting, as another thread could at that very moment.
uint64_t stepping_clock(void)
{
    uint64_t t = g_ms.fetch_add(1);
    if (g_queue_on_next_read.exchange(false))
        control_queue_setting(g_link, 1, 1);
    return t;
}

} // namespace

// A control packet queued between the sender's clock read and its lock is
// newer than that read: it must go out, not expire at once.
TEST(Sender, PacketQueuedBetweenClockReadAndLockIsSentNotExpired)
{
    LinkContext l;
    l.active = 1;
    l.protocol = 2;
    l.input_queue = queue_create();
    g_link = &l;
    link_test_clock = stepping_clock;
    g_queue_on_next_read = true;
    std::thread sender(sender_thread_main, &l);
    auto settled = [&] {
        std::lock_guard<std::mutex> g(l.control_lock);
        return !g_queue_on_next_read && (l.head_sent || l.control_count == 0);
    };
    EXPECT_TRUE(wait_until(settled));
    {
        std::lock_guard<std::mutex> g(l.control_lock);
        EXPECT_EQ(l.control_count, 1u) << "expired at once";
        EXPECT_EQ(l.head_sent, 1u);
        l.stop_all = 1;
        sender_wake(&l);
    }
    sender.join();
    link_test_clock = nullptr;
    control_queue_clear(&l);
    queue_destroy(&l.input_queue);
}

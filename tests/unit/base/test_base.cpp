// The locked FIFO between threads and the listener lists.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "base/listeners.h"
#include "base/queue.h"

TEST(Queue, FifoCopiesAndFreesEverything)
{
    Queue *q = queue_create();
    EXPECT_EQ(queue_pop(q), nullptr);
    uint8_t src[4] = {1, 2, 3, 4};
    for (uint32_t i = 0; i < 3; i++)
        ASSERT_EQ(queue_push(q, src, 4 - i, i, 100 + i), 0);
    src[0] = 0xEE; // the queue holds copies
    for (uint32_t i = 0; i < 3; i++) {
        QueueElement *e = queue_pop(q);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->tag * 1000 + e->length * 100 + e->stamp_ms, i * 1000 + (4 - i) * 100 + 100 + i);
        EXPECT_EQ(e->data[0], 1);
        queue_element_free(e);
    }
    EXPECT_EQ(queue_push(q, nullptr, 5, 1, 2), -1);
    ASSERT_EQ(queue_push(q, nullptr, 0, 1, 2), 0);
    QueueElement *e = queue_pop(q); // usable again after running empty
    ASSERT_NE(e, nullptr);
    // Replacing an element's data copies, even from inside its own bytes.
    ASSERT_EQ(element_set_data(e, src, 4), 0);
    ASSERT_EQ(element_set_data(e, e->data + 1, 2), 0);
    EXPECT_EQ(e->length * 100 + e->data[0] * 10 + e->data[1], 223u);
    EXPECT_EQ(element_set_data(e, nullptr, 4), -1);
    // The leak checker of the sanitizer build fails this if clear or destroy
    // leaves an element or its data behind.
    std::vector<uint8_t> big(100000, 0x5A);
    for (int i = 0; i < 20; i++)
        queue_push(q, big.data(), (uint32_t)big.size(), (uint32_t)i, 0);
    ASSERT_EQ(queue_push_element(q, e), 0);
    queue_clear(q);
    EXPECT_EQ(queue_count(q), 0u);
    queue_push(q, big.data(), (uint32_t)big.size(), 0, 0);
    queue_destroy(&q);
    EXPECT_EQ(q, nullptr);
}

TEST(Queue, ConcurrentProducersOneConsumerEveryElementOnceInOrder)
{
    constexpr uint32_t kProducers = 4, kPerProducer = 20000;
    Queue *q = queue_create();
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; p++)
        producers.emplace_back([q, p] {
            for (uint32_t i = 0; i < kPerProducer; i++) {
                uint32_t bytes[2] = {p, i};
                queue_push(q, (const uint8_t *)bytes, 8, (p << 24) | i, i);
            }
        });
    std::vector<uint32_t> next(kProducers, 0);
    bool ok = true;
    for (uint32_t taken = 0; taken < kProducers * kPerProducer;) {
        QueueElement *e = queue_pop(q);
        if (!e) {
            std::this_thread::yield();
            continue;
        }
        uint32_t p = e->tag >> 24, i = e->tag & 0xFFFFFF, d[2];
        std::memcpy(d, e->data, 8);
        // Each producer's elements come out once, in the order it pushed them.
        ok = ok && p < kProducers && d[0] == p && d[1] == i && i == next[p]++;
        taken++;
        queue_element_free(e);
    }
    for (auto &t : producers)
        t.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(queue_count(q), 0u);
    queue_destroy(&q);
}

namespace {
std::vector<int> g_trace;
void record_id(void *ctx, int value) { g_trace.push_back(*static_cast<int *>(ctx) * 100 + value); }
void record_other(void *ctx, int value) { g_trace.push_back(-(*static_cast<int *>(ctx) * 100 + value)); }
struct Reentrant {
    ListenerList<> *list;
    int first = 0, second = 0;
};
void second_listener(void *ctx) { static_cast<Reentrant *>(ctx)->second++; }
void first_listener(void *ctx)
{
    auto *r = static_cast<Reentrant *>(ctx);
    r->first++;
    listeners_register(r->list, ctx, second_listener); // must not deadlock on the list's lock
}
void count_call(void *ctx, int) { static_cast<std::atomic<int> *>(ctx)->fetch_add(1); }
} // namespace

TEST(ListenerList, OncePerPairInRegistrationOrder)
{
    ListenerList<int> list;
    int ctx[20];
    g_trace.clear();
    std::vector<int> want;
    for (int i = 0; i < 20; i++) { // beyond the inline snapshot
        ctx[i] = i;
        EXPECT_EQ(listeners_register(&list, &ctx[i], record_id), 1);
        want.push_back(i * 100 + 7);
    }
    EXPECT_EQ(listeners_register(&list, &ctx[3], record_id), 0);
    EXPECT_EQ(listeners_register(&list, &ctx[3], record_other), 1); // another function is another pair
    want.push_back(-307);
    EXPECT_EQ(listeners_register(&list, &ctx[3], nullptr), -1);
    listeners_call(&list, 7);
    EXPECT_EQ(g_trace, want);

    ListenerList<> re;
    Reentrant r{&re};
    listeners_register(&re, &r, first_listener);
    listeners_call(&re);
    EXPECT_EQ(r.first * 10 + r.second, 10); // the new pair joins from the next event on
    listeners_call(&re);
    EXPECT_EQ(r.first * 10 + r.second, 21);
}

TEST(ListenerList, ConcurrentRegistrationKeepsEveryPairOnce)
{
    ListenerList<int> list;
    constexpr int kPerThread = 50;
    std::atomic<int> counters[kPerThread] = {};
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
        while (!stop.load())
            listeners_call(&list, 0);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; i++)
                listeners_register(&list, &counters[i], count_call);
        });
    for (auto &th : threads)
        th.join();
    stop = true;
    raiser.join();
    EXPECT_EQ(listeners_count(&list), (size_t)kPerThread);
    for (auto &c : counters)
        c = 0;
    listeners_call(&list, 0);
    for (auto &c : counters)
        EXPECT_EQ(c.load(), 1);
}

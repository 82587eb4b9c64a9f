// The locked FIFO between threads (its copies and frees) and the listener
// lists.
#include <gtest/gtest.h>

#include "base/listeners.h"
#include "base/queue.h"

TEST(Queue, FifoCopiesAndFreesEverything)
{
    Queue *q = queue_create();
    EXPECT_EQ(queue_pop(q), nullptr);
    uint8_t src[4] = {1, 2, 3, 4};
    ASSERT_EQ(queue_push(q, src, 4, 7, 100), 0);
    ASSERT_EQ(queue_push(q, src, 3, 8, 101), 0);
    src[0] = 0xEE;  // the queue holds copies
    QueueElement *e = queue_pop(q);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->tag * 1000 + e->length * 100 + e->stamp_ms, 7000u + 400 + 100);
    EXPECT_EQ(e->data[0], 1);
    EXPECT_EQ(queue_push(q, nullptr, 5, 1, 2), -1);
    // Replacing an element's data copies, even from inside its own bytes.
    ASSERT_EQ(element_set_data(e, e->data + 1, 2), 0);
    EXPECT_EQ(e->length * 100 + e->data[0] * 10 + e->data[1], 223u);
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
    listeners_register(r->list, ctx, second_listener);  // must not deadlock on the list's lock
}
}  // namespace

TEST(ListenerList, OncePerPairInRegistrationOrder)
{
    ListenerList<int> list;
    int ctx[20];
    std::vector<int> want;
    for (int i = 0; i < 20; i++) {  // beyond the inline snapshot
        ctx[i] = i;
        EXPECT_EQ(listeners_register(&list, &ctx[i], record_id), 1);
        want.push_back(i * 100 + 7);
    }
    EXPECT_EQ(listeners_register(&list, &ctx[3], record_id), 0);
    EXPECT_EQ(listeners_register(&list, &ctx[3], record_other), 1);  // another function is another pair
    want.push_back(-307);
    listeners_call(&list, 7);
    EXPECT_EQ(g_trace, want);

    ListenerList<> re;
    Reentrant r{&re};
    listeners_register(&re, &r, first_listener);
    listeners_call(&re);
    listeners_call(&re);
    EXPECT_EQ(r.first * 10 + r.second, 21);  // the new pair joins from the next event on
}

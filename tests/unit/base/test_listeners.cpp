// Listener lists: de-duplication, order, re-entrancy, concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/listeners.h"

namespace {

std::vector<int> g_trace;

void record_id(void *ctx, int value) { g_trace.push_back(*static_cast<int *>(ctx) * 100 + value); }
void record_other(void *ctx, int value) { g_trace.push_back(-(*static_cast<int *>(ctx) * 100 + value)); }

} // namespace

TEST(ListenerList, SamePairRegisteredTwiceIsCalledOnce)
{
    ListenerList<int> list;
    int a = 1;
    g_trace.clear();
    EXPECT_EQ(listeners_register(&list, &a, record_id), 1);
    EXPECT_EQ(listeners_register(&list, &a, record_id), 0);
    EXPECT_EQ(listeners_count(&list), 1u);
    listeners_call(&list, 5);
    EXPECT_EQ(g_trace, (std::vector<int>{105}));
}

TEST(ListenerList, SameContextOtherFunctionOrSameFunctionOtherContextAreDistinct)
{
    ListenerList<int> list;
    int a = 1, b = 2;
    g_trace.clear();
    EXPECT_EQ(listeners_register(&list, &a, record_id), 1);
    EXPECT_EQ(listeners_register(&list, &a, record_other), 1);
    EXPECT_EQ(listeners_register(&list, &b, record_id), 1);
    listeners_call(&list, 3);
    EXPECT_EQ(g_trace, (std::vector<int>{103, -103, 203}));
}

TEST(ListenerList, RegistrationOrderKeptAlsoBeyondInlineSnapshot)
{
    ListenerList<int> list;
    int ctx[20];
    g_trace.clear();
    for (int i = 0; i < 20; i++) {
        ctx[i] = i;
        listeners_register(&list, &ctx[i], record_id);
    }
    listeners_register(&list, &ctx[3], record_id); // duplicate: no effect on order
    listeners_call(&list, 7);
    std::vector<int> want;
    for (int i = 0; i < 20; i++)
        want.push_back(i * 100 + 7);
    EXPECT_EQ(g_trace, want);
}

TEST(ListenerList, NullListAndNullFunction)
{
    ListenerList<int> list;
    int a = 1;
    EXPECT_EQ(listeners_register(static_cast<ListenerList<int> *>(nullptr), &a, record_id), -1);
    EXPECT_EQ(listeners_register(&list, &a, nullptr), -1);
    EXPECT_EQ(listeners_count(&list), 0u);
    listeners_call(static_cast<ListenerList<int> *>(nullptr), 1); // no effect, no crash
    listeners_call(&list, 1);        // empty list: nothing to call
}

namespace {

struct Reentrant {
    ListenerList<> *list;
    int first_calls = 0;
    int second_calls = 0;
};

void second_listener(void *ctx) { static_cast<Reentrant *>(ctx)->second_calls++; }

void first_listener(void *ctx)
{
    auto *r = static_cast<Reentrant *>(ctx);
    r->first_calls++;
    // Registering from inside a call must not deadlock on the list's lock.
    listeners_register(r->list, ctx, second_listener);
}

} // namespace

TEST(ListenerList, ListenerMayRegisterAnotherDuringTheCall)
{
    ListenerList<> list;
    Reentrant r;
    r.list = &list;
    listeners_register(&list, &r, first_listener);
    listeners_call(&list);
    // The new pair joins from the next event on.
    EXPECT_EQ(r.first_calls, 1);
    EXPECT_EQ(r.second_calls, 0);
    listeners_call(&list);
    EXPECT_EQ(r.first_calls, 2);
    EXPECT_EQ(r.second_calls, 1);
    EXPECT_EQ(listeners_count(&list), 2u);
}

namespace {
void count_call(void *ctx, int) { static_cast<std::atomic<int> *>(ctx)->fetch_add(1); }
} // namespace

TEST(ListenerList, ConcurrentRegistrationKeepsEveryPairOnce)
{
    ListenerList<int> list;
    constexpr int kThreads = 4, kPerThread = 50;
    std::atomic<int> counters[kPerThread];
    for (auto &c : counters)
        c = 0;
    std::atomic<bool> stop{false};
    // A raiser runs alongside the registering threads.
    std::thread raiser([&] {
        while (!stop.load())
            listeners_call(&list, 0);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
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

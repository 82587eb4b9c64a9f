// The program's rand()-style generator: its sequence and its atomic steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "base/rng.h"

TEST(Rng, SequenceOfTheRuntimeGenerator)
{
    // state = state * 214013 + 2531011, value = (state >> 16) & 0x7fff, from seed 1.
    kv_srand(1);
    const int expected[5] = {41, 18467, 6334, 26500, 19169};
    for (int v : expected)
        EXPECT_EQ(kv_rand(), v);
}

TEST(Rng, ReseedingRestartsTheSequence)
{
    kv_srand(0x12345678);
    int a = kv_rand(), b = kv_rand();
    kv_srand(0x12345678);
    EXPECT_EQ(kv_rand(), a);
    EXPECT_EQ(kv_rand(), b);
}

TEST(Rng, ValuesStayBelow32768)
{
    kv_srand(99);
    int seen_high = 0;
    for (int i = 0; i < 100000; i++) {
        int v = kv_rand();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
        seen_high |= v & 0x4000;
    }
    EXPECT_NE(seen_high, 0);
}

TEST(Rng, ConcurrentDrawsTakeEachStepOnce)
{
    const int kThreads = 4, kDraws = 20000;
    kv_srand(4242);
    std::vector<int> sequential(kThreads * kDraws);
    for (int &v : sequential)
        v = kv_rand();

    kv_srand(4242);
    std::vector<std::vector<int>> per_thread(kThreads, std::vector<int>(kDraws));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&per_thread, t] {
            for (int &v : per_thread[t])
                v = kv_rand();
        });
    for (auto &th : threads)
        th.join();
    std::vector<int> concurrent;
    for (auto &v : per_thread)
        concurrent.insert(concurrent.end(), v.begin(), v.end());
    // Lost or doubled steps would change the multiset of values drawn.
    std::sort(sequential.begin(), sequential.end());
    std::sort(concurrent.begin(), concurrent.end());
    EXPECT_EQ(concurrent, sequential);
}

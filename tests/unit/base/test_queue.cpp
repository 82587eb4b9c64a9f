// The locked FIFO between threads.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "base/queue.h"

TEST(Queue, PushCopiesTheBytes)
{
    Queue *q = queue_create();
    ASSERT_NE(q, nullptr);
    uint8_t src[4] = {1, 2, 3, 4};
    ASSERT_EQ(queue_push(q, src, 4, 9, 1234), 0);
    src[0] = 0xEE;
    src[3] = 0xEE;
    QueueElement *e = queue_pop(q);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->length, 4u);
    EXPECT_EQ(e->tag, 9u);
    EXPECT_EQ(e->stamp_ms, 1234u);
    EXPECT_NE(e->data, src);
    const uint8_t want[4] = {1, 2, 3, 4};
    EXPECT_EQ(std::memcmp(e->data, want, 4), 0);
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->prev, nullptr);
    queue_element_free(e);
    queue_destroy(&q);
    EXPECT_EQ(q, nullptr);
}

TEST(Queue, FifoOrderAndCount)
{
    Queue *q = queue_create();
    EXPECT_EQ(queue_count(q), 0u);
    EXPECT_EQ(queue_pop(q), nullptr);
    EXPECT_EQ(queue_peek_length(q), -1);
    for (uint32_t i = 0; i < 10; i++) {
        uint8_t b[16];
        std::memset(b, (int)i, sizeof b);
        ASSERT_EQ(queue_push(q, b, i + 1, i, 100 + i), 0);
        EXPECT_EQ(queue_count(q), i + 1);
    }
    EXPECT_EQ(queue_peek_length(q), 1);
    for (uint32_t i = 0; i < 10; i++) {
        QueueElement *e = queue_pop(q);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->tag, i);
        EXPECT_EQ(e->length, i + 1);
        EXPECT_EQ(e->stamp_ms, 100u + i);
        EXPECT_EQ(e->data[i], (uint8_t)i);
        EXPECT_EQ(queue_count(q), 9 - i);
        queue_element_free(e);
    }
    EXPECT_EQ(queue_pop(q), nullptr);
    // The queue is usable again after running empty (tail was reset).
    uint8_t b = 7;
    queue_push(q, &b, 1, 0, 0);
    QueueElement *e = queue_pop(q);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data[0], 7);
    queue_element_free(e);
    queue_destroy(&q);
}

TEST(Queue, EmptyPushAndBadArguments)
{
    Queue *q = queue_create();
    EXPECT_EQ(queue_push(q, nullptr, 0, 1, 2), 0);
    EXPECT_EQ(queue_push(q, nullptr, 5, 1, 2), -1);
    EXPECT_EQ(queue_push(nullptr, (const uint8_t *)"x", 1, 1, 2), -1);
    EXPECT_EQ(queue_count(q), 1u);
    QueueElement *e = queue_pop(q);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->length, 0u);
    EXPECT_EQ(e->data, nullptr);
    queue_element_free(e);
    queue_element_free(nullptr);
    queue_destroy(&q);
    queue_destroy(&q); // already null
    queue_destroy(nullptr);
}

TEST(Queue, ClearAndDestroyFreeEverything)
{
    // The leak checker of the sanitizer build fails this test if clear or
    // destroy leaves an element or its data behind.
    Queue *q = queue_create();
    std::vector<uint8_t> big(100000, 0x5A);
    for (int i = 0; i < 50; i++)
        queue_push(q, big.data(), (uint32_t)big.size(), (uint32_t)i, 0);
    QueueElement *moved = queue_pop(q);
    ASSERT_EQ(element_set_data(moved, big.data(), 10), 0); // data now in its own buffer
    ASSERT_EQ(queue_push_element(q, moved), 0);
    queue_clear(q);
    EXPECT_EQ(queue_count(q), 0u);
    EXPECT_EQ(queue_pop(q), nullptr);

    for (int i = 0; i < 50; i++)
        queue_push(q, big.data(), (uint32_t)big.size(), (uint32_t)i, 0);
    queue_destroy(&q);
    EXPECT_EQ(q, nullptr);
}

TEST(QueueElementData, EqualLengthReusesTheBuffer)
{
    const uint8_t a[3] = {1, 2, 3}, b[3] = {7, 8, 9};
    QueueElement *e = queue_element_create(a, 3, 0, 0);
    ASSERT_NE(e, nullptr);
    uint8_t *before = e->data;
    ASSERT_EQ(element_set_data(e, b, 3), 0);
    EXPECT_EQ(e->data, before);
    EXPECT_EQ(std::memcmp(e->data, b, 3), 0);
    queue_element_free(e);
}

TEST(QueueElementData, OtherLengthCopiesIntoAFreshBuffer)
{
    const uint8_t a[3] = {1, 2, 3};
    uint8_t b[5] = {5, 6, 7, 8, 9};
    QueueElement *e = queue_element_create(a, 3, 0, 0);
    ASSERT_EQ(element_set_data(e, b, 5), 0);
    EXPECT_EQ(e->length, 5u);
    b[0] = 0; // the element holds a copy, not the caller's bytes
    EXPECT_EQ(e->data[0], 5);
    EXPECT_EQ(e->data[4], 9);

    // Shrinking from its own bytes (source inside the buffer being replaced).
    ASSERT_EQ(element_set_data(e, e->data + 1, 2), 0);
    EXPECT_EQ(e->length, 2u);
    EXPECT_EQ(e->data[0], 6);
    EXPECT_EQ(e->data[1], 7);

    // Again from inside its own buffer, one byte shorter.
    ASSERT_EQ(element_set_data(e, e->data + 1, 1), 0);
    EXPECT_EQ(e->data[0], 7);

    ASSERT_EQ(element_set_data(e, nullptr, 0), 0);
    EXPECT_EQ(e->length, 0u);
    EXPECT_EQ(e->data, nullptr);
    EXPECT_EQ(element_set_data(e, nullptr, 4), -1);
    queue_element_free(e);
}

TEST(Queue, ConcurrentProducersOneConsumerEveryElementOnce)
{
    constexpr uint32_t kProducers = 4, kPerProducer = 20000;
    Queue *q = queue_create();
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; p++)
        producers.emplace_back([q, p] {
            for (uint32_t i = 0; i < kPerProducer; i++) {
                uint8_t bytes[8];
                std::memcpy(bytes, &p, 4);
                std::memcpy(bytes + 4, &i, 4);
                ASSERT_EQ(queue_push(q, bytes, 8, (p << 24) | i, i), 0);
            }
        });

    std::vector<std::vector<uint8_t>> seen(kProducers, std::vector<uint8_t>(kPerProducer, 0));
    std::vector<int64_t> last(kProducers, -1);
    uint32_t taken = 0;
    bool order_ok = true, data_ok = true;
    std::thread consumer([&] {
        while (taken < kProducers * kPerProducer) {
            QueueElement *e = queue_pop(q);
            if (!e) {
                std::this_thread::yield();
                continue;
            }
            uint32_t p = e->tag >> 24, i = e->tag & 0xFFFFFF, dp, di;
            std::memcpy(&dp, e->data, 4);
            std::memcpy(&di, e->data + 4, 4);
            if (e->length != 8 || dp != p || di != i || p >= kProducers || i >= kPerProducer)
                data_ok = false;
            else {
                seen[p][i]++;
                // Each producer's elements come out in the order it pushed them.
                if ((int64_t)i <= last[p])
                    order_ok = false;
                last[p] = i;
            }
            taken++;
            queue_element_free(e);
        }
    });
    for (auto &t : producers)
        t.join();
    consumer.join();

    EXPECT_TRUE(data_ok);
    EXPECT_TRUE(order_ok);
    for (uint32_t p = 0; p < kProducers; p++)
        for (uint32_t i = 0; i < kPerProducer; i++)
            ASSERT_EQ(seen[p][i], 1) << "producer " << p << " element " << i;
    EXPECT_EQ(queue_count(q), 0u);
    queue_destroy(&q);
}

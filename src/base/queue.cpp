#include "base/queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

// Bytes pushed with an element live right behind it in the same allocation.
static uint8_t *inline_data(QueueElement *e) { return reinterpret_cast<uint8_t *>(e + 1); }

static void free_data(QueueElement *e)
{
    if (e->data && e->data != inline_data(e))
        std::free(e->data);
}

QueueElement *queue_element_create(const uint8_t *data, uint32_t len, uint32_t tag,
                                   uint64_t stamp_ms)
{
    if (!data && len)
        return nullptr;
    auto *e = static_cast<QueueElement *>(std::malloc(sizeof(QueueElement) + len));
    if (!e)
        return nullptr;
    e->next = nullptr;
    e->prev = nullptr;
    e->tag = tag;
    e->length = len;
    e->data = len ? inline_data(e) : nullptr;
    e->stamp_ms = stamp_ms;
    if (len)
        std::memcpy(e->data, data, len);
    return e;
}

void queue_element_free(QueueElement *e)
{
    if (!e)
        return;
    free_data(e);
    std::free(e);
}

int element_set_data(QueueElement *e, const uint8_t *data, uint32_t len)
{
    if (!e || (!data && len))
        return -1;
    if (len == e->length) {
        if (len)
            std::memmove(e->data, data, len);
        return 0;
    }
    uint8_t *fresh = nullptr;
    if (len) {
        fresh = static_cast<uint8_t *>(std::malloc(len));
        if (!fresh)
            return -1;
        std::memcpy(fresh, data, len);
    }
    free_data(e);
    e->data = fresh;
    e->length = len;
    return 0;
}

Queue *queue_create(void)
{
    Queue *q = new (std::nothrow) Queue;
    if (!q)
        return nullptr;
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    return q;
}

// Caller holds q->lock.
static QueueElement *detach_all(Queue *q)
{
    QueueElement *e = q->head;
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    return e;
}

static void free_chain(QueueElement *e)
{
    while (e) {
        QueueElement *next = e->next;
        queue_element_free(e);
        e = next;
    }
}

void queue_destroy(Queue **q)
{
    if (!q || !*q)
        return;
    free_chain(detach_all(*q));
    delete *q;
    *q = nullptr;
}

int queue_push_element(Queue *q, QueueElement *e)
{
    if (!q || !e)
        return -1;
    e->next = nullptr;
    std::lock_guard<std::mutex> guard(q->lock);
    e->prev = q->tail;
    if (q->tail)
        q->tail->next = e;
    else
        q->head = e;
    q->tail = e;
    q->count++;
    return 0;
}

int queue_push(Queue *q, const uint8_t *data, uint32_t len, uint32_t tag, uint64_t stamp_ms)
{
    if (!q)
        return -1;
    // The copy is made before the lock is taken, so producers hold the lock
    // only for the link change.
    QueueElement *e = queue_element_create(data, len, tag, stamp_ms);
    if (!e)
        return -1;
    return queue_push_element(q, e);
}

QueueElement *queue_pop(Queue *q)
{
    if (!q)
        return nullptr;
    std::lock_guard<std::mutex> guard(q->lock);
    QueueElement *e = q->head;
    if (!e)
        return nullptr;
    q->head = e->next;
    if (q->head)
        q->head->prev = nullptr;
    else
        q->tail = nullptr;
    q->count--;
    e->next = nullptr;
    e->prev = nullptr;
    return e;
}

int64_t queue_peek_length(Queue *q)
{
    if (!q)
        return -1;
    std::lock_guard<std::mutex> guard(q->lock);
    return q->head ? (int64_t)q->head->length : -1;
}

uint32_t queue_count(Queue *q)
{
    if (!q)
        return 0;
    std::lock_guard<std::mutex> guard(q->lock);
    return q->count;
}

void queue_clear(Queue *q)
{
    if (!q)
        return;
    std::lock_guard<std::mutex> guard(q->lock);
    free_chain(detach_all(q));
}

// Queue: the locked FIFO that carries byte blocks between threads.
//
// Used for the input queue (input records from the input threads to the
// sender) and the decoder's input queue (access units from the receive threads
// to the decoder). Data that crosses a thread boundary is copied exactly once,
// into the element at push time; after that the element owns its bytes.
//
// Ownership and threads:
// - Every function may be called from any thread; each takes the queue's own
//   mutex for the time of a link change only, never while calling out. When a
//   caller also holds an outer lock (the link's control lock, the decoder's
//   lock), that outer lock is taken first; the queue's lock is innermost.
// - queue_pop hands the element to the caller, who frees it with
//   queue_element_free (or pushes it again with queue_push_element).
// - queue_destroy and queue_clear free every element still queued; the
//   caller makes sure no other thread uses the queue during queue_destroy.
//
// An element and the bytes pushed with it are one allocation. Only when
// element_set_data later changes the length does the data move to a buffer of
// its own; an equal length reuses the buffer in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

struct QueueElement {
    QueueElement *next;
    QueueElement *prev;
    uint32_t tag;        // the decoder's queue keeps the frame number here
    uint32_t length;     // bytes at data
    uint8_t *data;       // the element's own copy; null when length is 0
    uint64_t stamp_ms;   // enqueue time (steady clock) or the producer's stamp
};

struct Queue {
    QueueElement *head;
    QueueElement *tail;
    uint32_t count;
    std::mutex lock;
};

// Creates an empty queue; null only when memory is exhausted.
Queue *queue_create(void);

// Frees the queue and every element still in it, and sets *q to null.
// Null or an already-null pointer is fine.
void queue_destroy(Queue **q);

// Copies `len` bytes from `data` into a new element and appends it at the
// tail. Returns 0, or -1 when the queue is null, data is null with a nonzero
// length, or memory is exhausted (nothing is queued then).
int queue_push(Queue *q, const uint8_t *data, uint32_t len, uint32_t tag, uint64_t stamp_ms);

// Makes a detached element holding a copy of the bytes (null on failure), for
// producers that fill in fields before pushing it with queue_push_element.
QueueElement *queue_element_create(const uint8_t *data, uint32_t len, uint32_t tag,
                                   uint64_t stamp_ms);

// Appends a detached element; the queue owns it from then on. Returns 0, or
// -1 for a null queue or element.
int queue_push_element(Queue *q, QueueElement *e);

// Takes the head element off the queue; null when the queue is empty.
QueueElement *queue_pop(Queue *q);

// Length of the head element's data, or -1 when the queue is empty; lets a
// consumer decide whether the next element still fits before taking it.
int64_t queue_peek_length(Queue *q);

// Number of queued elements.
uint32_t queue_count(Queue *q);

// Frees every queued element under the queue's lock.
void queue_clear(Queue *q);

// Replaces a detached element's data with a copy of `len` bytes. The current
// buffer is reused when the length is equal; otherwise a fresh buffer is
// allocated and the old one freed. `data` may point into the element's own
// buffer. Returns 0, or -1 on a null element, null data with a nonzero length
// or exhausted memory (the element keeps its old data then).
int element_set_data(QueueElement *e, const uint8_t *data, uint32_t len);

// Frees a detached element and its data. Null is fine.
// An element's data is either its own inline copy or a buffer from malloc that
// the element owns (a caller may attach one, for example with padding behind
// the bytes); queue_element_free frees both.
void queue_element_free(QueueElement *e);

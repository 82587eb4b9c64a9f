// A counting semaphore of maximum count 1, the link's wake-up primitive.
//
// A thread that is about to wait publishes a pointer to its semaphore in a
// shared wake field under the owning lock, waits, then clears the field under
// the same lock. A producer that changed the shared data releases the
// semaphore only while the field is set. Several releases before the wait
// collapse into one wake-up; the waiter drains its work before waiting again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct Semaphore {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
};

inline void semaphore_release(Semaphore *s)
{
    {
        std::lock_guard<std::mutex> g(s->m);
        s->count = 1;  // maximum count 1
    }
    s->cv.notify_one();
}

// Waits until released; timeout_ms < 0 waits without limit. Returns true when
// released, false on time-out.
inline bool semaphore_wait(Semaphore *s, int timeout_ms)
{
    std::unique_lock<std::mutex> g(s->m);
    if (timeout_ms < 0) {
        s->cv.wait(g, [s] { return s->count > 0; });
    } else if (!s->cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [s] { return s->count > 0; })) {
        return false;
    }
    s->count = 0;
    return true;
}

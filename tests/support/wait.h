// Waiting in tests: poll a condition until it holds or a deadline passes.
#pragma once

#include <chrono>
#include <thread>

// True as soon as pred() holds; false if it still does not at the deadline.
template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Listener lists: how the link reports back.
//
// The link never calls the user interface directly. Each event (link state,
// admission, scan started, scan finished, device found, video size, decoded
// frame) has one ListenerList of (context, function) pairs; whoever wants the
// event registers a pair, and the thread that raises the event calls every
// pair in registration order with the event's arguments.
//
// Contract:
// - A default-constructed list (a member of a record made with new, or a
//   static) is ready to use; there is no create or set-up call, so a list may
//   be registered to before the link that raises its events exists.
// - Registering a (context, function) pair that is already in the list does
//   nothing, so a listener is never called twice for one event.
// - Any thread may register and any thread may raise. Registration takes the
//   list's mutex. Raising copies the entries under the mutex and calls them
//   after releasing it, so a listener may register further listeners (or raise
//   another list) without deadlock; a pair registered during a call is first
//   called at the next event.
// - Entries are never removed: listeners live as long as the link. The owner
//   of a context must outlive the list or stop the link first.
// - Arguments are passed as given; pointer arguments (a DeviceRecord, a
//   decoded picture) are valid only for the duration of the call.
#pragma once

#include <cstddef>
#include <mutex>
#include <type_traits>
#include <vector>

template <typename... Args>
struct ListenerEntry {
    void *context;
    void (*fn)(void *context, Args... args);
};

template <typename... Args>
struct ListenerList {
    using Fn = void (*)(void *context, Args... args);

    std::mutex lock;
    std::vector<ListenerEntry<Args...>> entries;
};

// Appends (context, fn) unless that pair is already registered.
// Returns 1 when the pair was added, 0 when it was already there, -1 for a
// null list or function.
template <typename... Args>
int listeners_register(ListenerList<Args...> *list, void *context,
                       typename ListenerList<Args...>::Fn fn)
{
    if (!list || !fn)
        return -1;
    std::lock_guard<std::mutex> guard(list->lock);
    for (const auto &e : list->entries)
        if (e.context == context && e.fn == fn)
            return 0;
    list->entries.push_back({context, fn});
    return 1;
}

// Number of registered pairs (0 for a null list).
template <typename... Args>
size_t listeners_count(ListenerList<Args...> *list)
{
    if (!list)
        return 0;
    std::lock_guard<std::mutex> guard(list->lock);
    return list->entries.size();
}

// Calls every registered pair in registration order on the calling thread.
// Lists hold one or two listeners in practice, so the snapshot lives on the
// stack and a raise (once per decoded frame, once per datagram) does not
// allocate; a longer list falls back to a heap copy.
template <typename... Args>
void listeners_call(ListenerList<Args...> *list, std::type_identity_t<Args>... args)
{
    if (!list)
        return;
    constexpr size_t kInline = 8;
    ListenerEntry<Args...> inline_copy[kInline];
    std::vector<ListenerEntry<Args...>> heap_copy;
    const ListenerEntry<Args...> *snapshot = inline_copy;
    size_t n;
    {
        std::lock_guard<std::mutex> guard(list->lock);
        n = list->entries.size();
        if (n <= kInline) {
            for (size_t i = 0; i < n; i++)
                inline_copy[i] = list->entries[i];
        } else {
            heap_copy = list->entries;
            snapshot = heap_copy.data();
        }
    }
    for (size_t i = 0; i < n; i++)
        snapshot[i].fn(snapshot[i].context, args...);
}

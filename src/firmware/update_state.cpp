#include "firmware/update_state.h"

#include <algorithm>
#include <chrono>
#include <cstring>

void update_state_set_message(UpdateState *st, const char *text)
{
    char copy[UPDATE_MESSAGE_CAP] = {};
    if (text)
        strncpy(copy, text, sizeof copy - 1);
    std::lock_guard<std::mutex> g(st->message_lock);
    memcpy(st->message, copy, sizeof copy);
}

void update_state_get_message(UpdateState *st, char out[UPDATE_MESSAGE_CAP])
{
    std::lock_guard<std::mutex> g(st->message_lock);
    memcpy(out, st->message, UPDATE_MESSAGE_CAP);
    out[UPDATE_MESSAGE_CAP - 1] = 0;
}

static bool same_device(const DeviceRecord *a, const DeviceRecord *b)
{
    return memcmp(&a->address, &b->address, sizeof a->address) == 0 && strcmp(a->id, b->id) == 0 &&
           a->usb == b->usb && a->hid_only == b->hid_only;
}

void update_state_on_device(void *ctx, const DeviceRecord *rec)
{
    UpdateState *st = (UpdateState *)ctx;
    if (!st || !rec)
        return;
    std::lock_guard<std::mutex> g(st->found_lock);
    for (DeviceRecord &r : st->found) {
        if (same_device(&r, rec)) {
            r = *rec;
            return;
        }
    }
    st->found.push_back(*rec);
}

void update_state_clear_found(UpdateState *st)
{
    std::lock_guard<std::mutex> g(st->found_lock);
    st->found.clear();
}

int update_state_first_network(UpdateState *st, DeviceRecord *out)
{
    std::lock_guard<std::mutex> g(st->found_lock);
    for (const DeviceRecord &r : st->found) {
        if (r.usb == 0 && r.hid_only == 0) {
            *out = r;
            return 1;
        }
    }
    return 0;
}

void update_state_join(UpdateState *st)
{
    if (!st || !st->thread)
        return;
    st->cancel = 1;
    if (st->thread->joinable())
        st->thread->join();
    delete st->thread;
    st->thread = nullptr;
    st->cancel = 0;
}

int update_state_wait(UpdateState *st, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    for (;;) {
        if (st->cancel.load())
            return 1;
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return 0;
        auto slice = std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20));
        std::this_thread::sleep_for(slice);
    }
}

#include "input/key_paste.h"

#include <chrono>

namespace {

constexpr char32_t INVALID = 0xFFFFFFFF;
constexpr uint8_t USAGE_ENTER = 0x28, USAGE_TAB = 0x2B;
// How long the closing release waits at most for the link to take what is
// queued before it (a stalled link must not hold up a cancel or shutdown).
constexpr uint64_t RELEASE_WAIT_MS = 250;

// The code point at text[*pos], advancing *pos; INVALID for a byte that does
// not start a well-formed sequence (one byte is taken then).
char32_t next_code_point(const uint8_t *s, size_t len, size_t *pos)
{
    uint8_t b = s[(*pos)++];
    if (b < 0x80)
        return b;
    int n = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (n == 0 || b > 0xF4 || len - *pos < (size_t)n)
        return INVALID;
    char32_t c = b & (0x3F >> n);
    for (int i = 0; i < n; i++) {
        uint8_t t = s[*pos + (size_t)i];
        if ((t & 0xC0) != 0x80)
            return INVALID;
        c = (c << 6) | (t & 0x3F);
    }
    static const char32_t MIN[4] = {0, 0x80, 0x800, 0x10000};
    if (c < MIN[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
        return INVALID;
    *pos += (size_t)n;
    return c;
}

void push(PastePlan *plan, uint8_t mods, uint8_t usage, uint32_t done)
{
    plan->reports.push_back(KeyReport{KEYBOARD_REPORT_KIND, mods, 0, usage, 0, 0, 0, 0, 0});
    plan->done.push_back(done);
}

uint64_t now_ms(void)
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits until the next report may go: PASTE_FINISHED then, or why the job
// is to stop first. The closing release (`closing`) waits a bounded time and
// goes even when cancelled.
int wait_turn(KeyPaster *p, uint64_t last_ms, bool closing)
{
    uint64_t start = now_ms();
    for (;;) {
        if (!closing && p->cancel.load())
            return PASTE_CANCELLED;
        if (!closing && !p->hooks.can_send(p->hooks.ctx))
            return PASTE_CONNECTION_LOST;
        uint64_t now = now_ms();
        if (closing && now - start > RELEASE_WAIT_MS)
            return PASTE_FINISHED;
        uint32_t wait = paste_wait_ms(now, last_ms, p->interval_ms, p->hooks.backlog(p->hooks.ctx));
        if (wait == 0)
            return PASTE_FINISHED;
        std::unique_lock<std::mutex> hold(p->lock);
        p->wake.wait_for(hold, std::chrono::milliseconds(wait),
                         [p, closing] { return !closing && p->cancel.load(); });
    }
}

void run(KeyPaster *p, PastePlan plan)
{
    uint64_t last = 0;
    int outcome = PASTE_FINISHED;
    for (size_t i = 0; i < plan.reports.size() && outcome == PASTE_FINISHED; i++) {
        outcome = wait_turn(p, last, false);
        if (outcome != PASTE_FINISHED)
            break;
        p->hooks.send(p->hooks.ctx, plan.reports[i].data(), KEYBOARD_REPORT_SIZE);
        last = now_ms();
        p->done = plan.done[i];
    }
    if (outcome == PASTE_FINISHED)
        p->done = plan.characters;
    // Nothing stays pressed on the target, however the job ended.
    wait_turn(p, last, true);
    uint8_t released[KEYBOARD_REPORT_SIZE];
    keyboard_released_report(released);
    p->hooks.send(p->hooks.ctx, released, sizeof released);
    p->outcome = outcome;
    p->finished.fetch_add(1);
    p->active = false;
}

}  // namespace

uint32_t paste_count_characters(const char *text, size_t len)
{
    const uint8_t *s = reinterpret_cast<const uint8_t *>(text);
    uint32_t n = 0;
    for (size_t pos = 0; pos < len;) {
        char32_t c = next_code_point(s, len, &pos);
        if (!(c == U'\r' && pos < len && s[pos] == '\n'))
            n++;
    }
    return n;
}

void paste_plan_text(const KeyLayout &layout, const char *text, size_t len, PastePlan *plan)
{
    *plan = PastePlan{};
    plan->text = true;
    const uint8_t *s = reinterpret_cast<const uint8_t *>(text);
    uint8_t mods = 0;  // held since the last report
    for (size_t pos = 0; pos < len;) {
        char32_t c = next_code_point(s, len, &pos);
        if (c == U'\r' && pos < len && s[pos] == '\n')
            continue;  // CR LF: the LF types the one Enter
        uint32_t index = plan->characters++;
        KeyStroke strokes[2];
        int n = 0;
        if (c == U'\n' || c == U'\r') {
            strokes[n++] = KeyStroke{USAGE_ENTER, 0};
        } else if (c == U'\t') {
            strokes[n++] = KeyStroke{USAGE_TAB, 0};
        } else if (c != INVALID && c >= 0x20) {
            n = key_layout_strokes(layout, c, strokes);
        }
        if (n == 0) {
            plan->skipped++;
            continue;
        }
        for (int i = 0; i < n; i++) {
            if (strokes[i].modifiers != mods) {
                mods = strokes[i].modifiers;
                push(plan, mods, 0, index);
            }
            push(plan, mods, strokes[i].usage, index);
            push(plan, mods, 0, i == n - 1 ? index + 1 : index);
        }
    }
}

const std::vector<KeyCombo> &key_combos(void)
{
    static const std::vector<KeyCombo> combos = [] {
        const uint8_t ctrl = KEYBOARD_MOD_LEFT_CTRL, alt = KEYBOARD_MOD_LEFT_ALT;
        std::vector<KeyCombo> v = {
            {"Ctrl+Alt+Del", {{ctrl, 0}, {alt, 0}, {0, 0x4C}}},
            {"Ctrl+Alt+Backspace", {{ctrl, 0}, {alt, 0}, {0, 0x2A}}},
            {"Alt+Tab", {{alt, 0}, {0, 0x2B}}},
            {"Alt+F4", {{alt, 0}, {0, 0x3D}}},
            {"Print Screen", {{0, 0x46}}},
            {"Windows Key", {{KEYBOARD_MOD_LEFT_GUI, 0}}},
            {"Ctrl+Esc", {{ctrl, 0}, {0, 0x29}}},
        };
        for (uint8_t f = 1; f <= 12; f++)
            v.push_back({"Ctrl+Alt+F" + std::to_string(f), {{ctrl, 0}, {alt, 0}, {0, (uint8_t)(0x3A + f - 1)}}});
        return v;
    }();
    return combos;
}

void paste_plan_combo(const KeyCombo &combo, PastePlan *plan)
{
    *plan = PastePlan{};
    plan->characters = 1;
    // The state after each press; the releases walk it back.
    std::vector<KeyReport> states;
    KeyReport r{KEYBOARD_REPORT_KIND, 0, 0, 0, 0, 0, 0, 0, 0};
    size_t used = 0;
    for (const ComboKey &k : combo.keys) {
        r[1] |= k.modifier;
        if (k.usage && used < 6)
            r[3 + used++] = k.usage;
        states.push_back(r);
    }
    for (const KeyReport &s : states) {
        plan->reports.push_back(s);
        plan->done.push_back(0);
    }
    for (size_t i = states.size(); i-- > 1;) {
        plan->reports.push_back(states[i - 1]);
        plan->done.push_back(0);
    }
    plan->reports.push_back(KeyReport{KEYBOARD_REPORT_KIND, 0, 0, 0, 0, 0, 0, 0, 0});
    plan->done.push_back(1);
}

uint32_t paste_wait_ms(uint64_t now_ms, uint64_t last_ms, uint32_t interval_ms, uint32_t backlog)
{
    if (backlog > 0)
        return 1;
    if (last_ms == 0 || now_ms >= last_ms + interval_ms)
        return 0;
    return (uint32_t)(last_ms + interval_ms - now_ms);
}

uint64_t paste_duration_ms(size_t reports, uint32_t interval_ms)
{
    return (uint64_t)reports * interval_ms;
}

bool paster_start(KeyPaster *p, PastePlan plan)
{
    std::lock_guard<std::mutex> hold(p->control);
    if (p->stopped || p->active.load() || plan.reports.empty() || !p->hooks.send)
        return false;
    if (p->worker.joinable())
        p->worker.join();  // the last job has ended (active is clear)
    p->cancel = false;
    p->done = 0;
    p->total = plan.characters;
    p->skipped = plan.skipped;
    p->text = plan.text;
    p->active = true;
    p->worker = std::thread(run, p, std::move(plan));
    return true;
}

void paster_cancel(KeyPaster *p)
{
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->cancel = true;
    }
    p->wake.notify_all();
}

bool paster_active(const KeyPaster *p)
{
    return p->active.load();
}

void paster_stop(KeyPaster *p)
{
    std::lock_guard<std::mutex> hold(p->control);
    p->stopped = true;
    paster_cancel(p);
    if (p->worker.joinable())
        p->worker.join();
}

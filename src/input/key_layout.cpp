#include "input/key_layout.h"

#include <xkbcommon/xkbcommon.h>

#include <cstring>

#include "input/keyboard_report.h"

const KeyLayoutChoice KEY_LAYOUT_CHOICES[] = {
    {"us", "English (US)"},      {"gb", "English (UK)"},         {"de", "German"},
    {"fr", "French"},            {"be", "Belgian"},              {"es", "Spanish"},
    {"pt", "Portuguese"},        {"br", "Portuguese (Brazil)"},  {"it", "Italian"},
    {"ch", "Swiss German"},      {"ch(fr)", "Swiss French"},     {"se", "Swedish"},
    {"fi", "Finnish"},           {"no", "Norwegian"},            {"dk", "Danish"},
    {"pl", "Polish"},            {"cz", "Czech"},                {"hu", "Hungarian"},
    {"jp", "Japanese"},
};
const size_t KEY_LAYOUT_CHOICE_COUNT = sizeof KEY_LAYOUT_CHOICES / sizeof KEY_LAYOUT_CHOICES[0];

const char *key_layout_label(const char *name)
{
    for (const KeyLayoutChoice &c : KEY_LAYOUT_CHOICES)
        if (std::strcmp(c.name, name) == 0)
            return c.label;
    return name;
}

namespace {

// evdev codes of keys that only some boards have: the ISO key left of Z, the
// Japanese Ro key and the Yen key.
constexpr uint32_t EVDEV_102ND = 86, EVDEV_RO = 89, EVDEV_YEN = 124;
constexpr uint32_t EVDEV_KP_MULTIPLY = 55, EVDEV_SPACE = 57;

// Accents of dead keys, as they end the names of the accented letters'
// keysyms ("ecircumflex") and follow "dead_" in the dead keys' names.
constexpr const char *ACCENTS[] = {"grave",  "acute",       "circumflex", "tilde",    "diaeresis",
                                   "cedilla", "caron",      "ogonek",     "doubleacute", "breve",
                                   "abovedot", "macron",    "abovering"};

struct Candidate {
    KeyStroke stroke;
    int cost;
};

bool key_layout_is_letter_key(uint32_t evdev)
{
    return (evdev >= 16 && evdev <= 25) || (evdev >= 30 && evdev <= 38) || (evdev >= 44 && evdev <= 50);
}

int modifier_cost(uint8_t mods)
{
    return ((mods & KEYBOARD_MOD_LEFT_SHIFT) ? 1 : 0) + ((mods & KEYBOARD_MOD_RIGHT_ALT) ? 2 : 0);
}

template <typename Key>
void offer(std::unordered_map<Key, KeyStroke> *table, std::unordered_map<Key, int> *costs, const Key &key,
           KeyStroke stroke, int cost)
{
    auto it = costs->find(key);
    if (it != costs->end() && it->second <= cost)
        return;  // keys are walked in ascending order: the lower one stays on a tie
    (*costs)[key] = cost;
    (*table)[key] = stroke;
}

bool printable(uint32_t c)
{
    return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && !(c >= 0xD800 && c < 0xE000) && c <= 0x10FFFF;
}

// Walks one compiled keymap into *out.
void walk(xkb_keymap *keymap, KeyLayout *out)
{
    // Which real modifiers Shift and right Alt set in this layout: right Alt
    // is AltGr (level three) on most layouts and plain Alt on a few (us).
    xkb_mod_mask_t shift = 0, altgr = 0;
    xkb_mod_index_t shift_index = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    xkb_mod_index_t alt_index = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_ALT);
    if (shift_index != XKB_MOD_INVALID)
        shift = 1u << shift_index;
    if (xkb_state *state = xkb_state_new(keymap)) {
        xkb_state_update_key(state, 100 + 8, XKB_KEY_DOWN);  // evdev KEY_RIGHTALT
        altgr = xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED);
        xkb_state_unref(state);
    }
    if (alt_index != XKB_MOD_INVALID && altgr == (1u << alt_index))
        altgr = 0;  // plain Alt: no characters behind it

    std::unordered_map<char32_t, int> direct_cost;
    std::unordered_map<std::string, int> dead_cost;
    // Only evdev codes below 256 have usages here.
    xkb_keycode_t lo = xkb_keymap_min_keycode(keymap), hi = xkb_keymap_max_keycode(keymap);
    if (hi > 8 + 255)
        hi = 8 + 255;
    for (xkb_keycode_t kc = lo < 8 ? 8 : lo; kc <= hi; kc++) {
        uint32_t evdev = kc - 8;
        uint8_t usage = key_layout_usage_of_evdev(evdev);
        if (!usage)
            continue;
        int key_cost = (evdev == EVDEV_102ND || evdev == EVDEV_RO || evdev == EVDEV_YEN) ? 4 : 0;
        // Between keys of equal cost, punctuation keys come before the digit
        // row and the digit row before letters: the X layouts carry extra
        // symbols on the digit row and the letters that other systems' layouts
        // of the same name lack.
        int key_class = (evdev >= 2 && evdev <= 11) ? 1 : key_layout_is_letter_key(evdev) ? 2 : 0;
        xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, kc, 0);
        for (xkb_level_index_t level = 0; level < levels; level++) {
            const xkb_keysym_t *syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, kc, 0, level, &syms) != 1)
                continue;
            xkb_mod_mask_t masks[16];
            size_t n = xkb_keymap_key_get_mods_for_level(keymap, kc, 0, level, masks, 16);
            int best = -1;
            uint8_t mods = 0;
            for (size_t i = 0; i < n; i++) {
                int m = -1;
                if (masks[i] == 0)
                    m = 0;
                else if (shift && masks[i] == shift)
                    m = KEYBOARD_MOD_LEFT_SHIFT;
                else if (altgr && masks[i] == altgr)
                    m = KEYBOARD_MOD_RIGHT_ALT;
                else if (shift && altgr && masks[i] == (shift | altgr))
                    m = KEYBOARD_MOD_LEFT_SHIFT | KEYBOARD_MOD_RIGHT_ALT;
                if (m >= 0 && (best < 0 || modifier_cost((uint8_t)m) < best)) {
                    best = modifier_cost((uint8_t)m);
                    mods = (uint8_t)m;
                }
            }
            if (best < 0)
                continue;
            KeyStroke stroke{usage, mods};
            char name[64];
            if (xkb_keysym_get_name(syms[0], name, sizeof name) > 5 && std::strncmp(name, "dead_", 5) == 0) {
                offer(&out->dead, &dead_cost, std::string(name + 5), stroke, 4 * (key_cost + best) + key_class);
                continue;
            }
            uint32_t c = xkb_keysym_to_utf32(syms[0]);
            if (printable(c))
                offer(&out->direct, &direct_cost, (char32_t)c, stroke, 4 * (key_cost + best) + key_class);
        }
    }
}

// The dead key's accent and the base of a character the layout lacks: the
// accent alone ('^', the acute accent) has Space as its base, an accented
// letter its letter. False when c is neither.
bool decompose(char32_t c, std::string *accent, char32_t *base)
{
    if (c == U'^' || c == U'~') {
        *accent = c == U'^' ? "circumflex" : "tilde";
        *base = U' ';
        return true;
    }
    char name[64];
    xkb_keysym_t sym = xkb_utf32_to_keysym((uint32_t)c);
    if (sym == XKB_KEY_NoSymbol || xkb_keysym_get_name(sym, name, sizeof name) <= 0)
        return false;
    std::string s(name);
    for (const char *a : ACCENTS) {
        std::string suffix = std::strcmp(a, "abovering") == 0 ? "ring" : a;
        if (s == a) {
            *accent = a;
            *base = U' ';
            return true;
        }
        if (s.size() == suffix.size() + 1 && s.compare(1, suffix.size(), suffix) == 0 &&
            ((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z'))) {
            *accent = a;
            *base = (char32_t)s[0];
            return true;
        }
    }
    return false;
}

}  // namespace

uint8_t key_layout_usage_of_evdev(uint32_t code)
{
    // evdev codes 1 to 88 are the PC scan codes of the same keys.
    if (code == EVDEV_102ND)
        return 0x64;
    if (code == EVDEV_RO)
        return 0x87;
    if (code == EVDEV_YEN)
        return 0x89;
    if (code == EVDEV_SPACE || (code >= 0x02 && code <= 0x35 && code != EVDEV_KP_MULTIPLY))
        return keyboard_usage((uint8_t)code);
    return 0;
}

int key_layout_build(const char *name, KeyLayout *out)
{
    *out = KeyLayout{};
    if (!name || !*name)
        return -1;
    std::string layout(name), variant;
    size_t open = layout.find('(');
    if (open != std::string::npos) {
        if (layout.back() != ')')
            return -1;
        variant = layout.substr(open + 1, layout.size() - open - 2);
        layout.resize(open);
    }
    // The system's keyboard data only: no user overrides, no names from the
    // environment, so the table is the same for every operator.
    xkb_context *ctx = xkb_context_new((xkb_context_flags)(XKB_CONTEXT_NO_DEFAULT_INCLUDES |
                                                           XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!ctx)
        return -1;
    if (!xkb_context_include_path_append(ctx, "/usr/share/X11/xkb"))
        xkb_context_include_path_append_default(ctx);
    xkb_rule_names names{};
    names.rules = "evdev";
    names.model = "pc105";
    names.layout = layout.c_str();
    names.variant = variant.c_str();
    xkb_keymap *keymap = xkb_keymap_new_from_names(ctx, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    int rc = -1;
    if (keymap) {
        walk(keymap, out);
        xkb_keymap_unref(keymap);
        if (!out->direct.empty()) {
            out->name = name;
            rc = 0;
        }
    }
    xkb_context_unref(ctx);
    if (rc != 0)
        *out = KeyLayout{};
    return rc;
}

int key_layout_strokes(const KeyLayout &layout, char32_t c, KeyStroke out[2])
{
    auto it = layout.direct.find(c);
    if (it != layout.direct.end()) {
        out[0] = it->second;
        return 1;
    }
    std::string accent;
    char32_t base;
    if (!decompose(c, &accent, &base))
        return 0;
    auto dead = layout.dead.find(accent);
    auto key = layout.direct.find(base);
    if (dead == layout.dead.end() || key == layout.direct.end())
        return 0;
    out[0] = dead->second;
    out[1] = key->second;
    return 2;
}

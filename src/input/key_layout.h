// Which keys type a character on the target computer: a table built from the
// X keyboard layout of the name the operator chose (the target's layout, not
// the local one), through libxkbcommon.
//
// The named layout is compiled (rules "evdev", model "pc105"), and every key
// and shift level of its first group is walked: a level that gives one
// printable character through no modifier, Shift, AltGr (whatever right Alt
// selects in that layout) or Shift+AltGr becomes a stroke of that key's USB
// HID usage (the key's evdev code, xkb keycode - 8, mapped to its usage) with
// Left Shift and Right Alt in the modifier byte. Keypad keys are left out (they
// depend on the target's Num Lock); levels that need Caps Lock, Ctrl or Alt are
// left out. When several keys give a character the one with the fewest
// modifiers wins, keys of the main block before the ISO key left of Z, the
// Japanese Ro key and the Yen key (boards without them have a different key or
// none there), then punctuation keys before the digit row before letters, then
// the lower keycode.
//
// Dead keys: a character the layout types only through a dead key is typed as
// two strokes, the dead key then the base: the accent itself (^ ` ~ and the
// spacing accents such as the acute accent and the diaeresis) with Space as
// the base, an accented letter (ê on a German layout) with its letter. The
// target composes them, as it does for a person typing the same keys. Other
// characters the layout lacks have no strokes.
//
// Threads: key_layout_build may run on any thread; a built table is read-only
// and may be shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

// One key press: its usage and the modifier byte held with it.
struct KeyStroke {
    uint8_t usage;
    uint8_t modifiers;
};

struct KeyLayout {
    std::string name;
    // Characters typed by one stroke.
    std::unordered_map<char32_t, KeyStroke> direct;
    // Dead keys, by the accent's name as it ends keysym names ("circumflex").
    std::unordered_map<std::string, KeyStroke> dead;
};

// The layouts offered in the Settings window: xkb layout names, a variant in
// parentheses, and what the operator reads.
struct KeyLayoutChoice {
    const char *name;
    const char *label;
};
extern const KeyLayoutChoice KEY_LAYOUT_CHOICES[];
extern const size_t KEY_LAYOUT_CHOICE_COUNT;

// The label of a layout name, or the name itself when it is not offered.
const char *key_layout_label(const char *name);

// Compiles the layout ("de", "ch(fr)") and fills *out. Returns 0, or -1 when
// the layout cannot be compiled (unknown name, no keyboard data installed);
// *out is then empty.
int key_layout_build(const char *name, KeyLayout *out);

// The strokes that type c, in order: 1 (a key), 2 (a dead key, then Space or
// the base letter), or 0 when the layout cannot type it. Newline, carriage
// return and tab are not characters of the table (the paste handles them).
int key_layout_strokes(const KeyLayout &layout, char32_t c, KeyStroke out[2]);

// The HID usage of an evdev key code on the main block, or 0 for keys no
// character is typed with (modifiers, keypad, function and control keys).
uint8_t key_layout_usage_of_evdev(uint32_t code);

// The SDL backend of the input source: the window's key, button, motion and
// wheel events become the source's key state and mouse samples.
//
// Threads: main thread (where SDL delivers events).
#pragma once

#include <SDL.h>

#include "platform/input_source.h"

// Feeds one SDL event into the source. Key repeats change nothing (the target
// repeats held keys itself); keys without a PC scan code are ignored. Returns
// true when the event was an input event it used.
bool input_source_feed_sdl(InputSource *source, const SDL_Event &ev);

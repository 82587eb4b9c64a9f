// The simulated dongle's resend and pacing decisions, kept pure so they can
// be tested without sockets.
#pragma once

#include <cstdint>

// Which fragments of one acknowledgement window to send again. The window is
// a group of up to 64 fragments (32 in protocol 2, a whole picture of up to
// 63 in protocol 1): bit k stands for fragment k of the window.
//   expected  the fragments that exist in the window
//   received  what the viewer's acknowledgement says has arrived
//   sent_us   when fragment k was last sent (0: never)
//   resent    how often fragment k has been sent again already
// A missing fragment is sent again when it lies below the highest fragment the
// viewer has (a hole: it was lost, not merely still on its way) or when its
// last send is at least stale_us old; a fragment already resent waits regap_us
// since its last send, and none is resent more than max_resends times.
uint64_t sim_select_resends(uint64_t expected, uint64_t received, const uint64_t *sent_us,
                            const uint8_t *resent, uint64_t now_us, uint64_t stale_us, uint64_t regap_us,
                            unsigned max_resends);

// Pacing of one picture's fragments: they go out in bursts of `burst`
// datagrams with gap_us between bursts, so a picture leaves within about a
// third of the frame interval and the viewer's socket buffer is not flooded
// by a large key frame. Returns the burst size (1 or more) and sets *gap_us.
unsigned sim_pacing(unsigned fragments, unsigned fragment_bytes, unsigned frame_interval_us, unsigned *gap_us);

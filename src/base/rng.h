// The program's pseudo-random generator: a linear congruential generator with
// the C runtime's rand() arithmetic (state * 214013 + 2531011, value = bits
// 16..30 of the new state), so every draw is 0..32767.
//
// It feeds the password nonces, the start of the protocol-2 control sequence
// and the random bytes of the HID mode command. None of these needs secrecy
// from the generator: the nonce travels in clear beside the ciphertext.
//
// Thread rules: any thread may call both functions. The state is one atomic
// word; concurrent draws never return the same step twice and never lose one.
// The link seeds it with the current time when it starts; before any seed the
// state is 1, as in the C runtime.
#pragma once

#include <cstdint>

void kv_srand(uint32_t seed);
int kv_rand(void);

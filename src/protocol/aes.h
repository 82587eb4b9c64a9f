// AES-128 (FIPS-197) and the counter mode that hides the unlock password on
// the wire, with the two key derivations the dongle expects.
//
// The key of every message is derived from random bytes that travel in clear
// beside the ciphertext (a nonce, or the HID command's random bytes), and the
// counter always starts at AES_CTR_INITIAL_BLOCK, which the dongle's firmware
// holds too. Keys are made per message by the caller and not kept.
//
// Thread rules: all functions are pure over their arguments; any thread may
// call them. An Aes128 schedule may be shared read-only between threads.
#pragma once

#include <cstddef>
#include <cstdint>

// First counter block of every counter-mode run. The dongle's firmware holds
// the same 16 bytes; changing them breaks every password exchange.
extern const uint8_t AES_CTR_INITIAL_BLOCK[16];

struct Aes128 {
    uint8_t round_keys[176]; // 11 round keys of 16 bytes, key schedule order
};

void aes128_init(Aes128 *aes, const uint8_t key[16]);
// One block, 10 rounds. in and out may be the same buffer.
void aes128_encrypt_block(const Aes128 *aes, const uint8_t in[16], uint8_t out[16]);

// Counter mode in place over len bytes starting from `counter` (not
// modified). After each 16 keystream bytes the counter block is incremented
// as a 128-bit big-endian number (last byte first, carrying toward byte 0).
// Running it twice with the same key and counter gives back the input.
void aes128_ctr_from_counter(const uint8_t key[16], const uint8_t counter[16], uint8_t *data, size_t len);

// Counter mode in place from AES_CTR_INITIAL_BLOCK; the same call decrypts.
void aes128_ctr(const uint8_t key[16], uint8_t *data, size_t len);

// Key of the unlock message and of the connect request: the nonce with bytes
// 2 and 11 exchanged, bytes 5 and 6 exchanged and byte 9 complemented.
void aes_key_from_nonce(const uint8_t nonce[16], uint8_t key[16]);

// Key of the HID mode command: the random bytes with bytes 0 and 4
// exchanged, bytes 7 and 9 exchanged and byte 11 complemented.
void aes_key_from_hid_random(const uint8_t r[16], uint8_t key[16]);

// aes128_ctr under the key derived from `nonce` by aes_key_from_nonce.
void aes_encrypt_with_nonce(uint8_t *data, size_t len, const uint8_t nonce[16]);

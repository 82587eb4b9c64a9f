// The password encodings: the protocol-1 unlock message, the protocol-2
// connect-request payload and the HID mode command, each with the parser the
// simulated dongle uses on its side.
//
// Every function here is pure: the nonce or random bytes are inputs, nothing
// is sent or logged, and the derived keys live only on the stack for one call.
// Parsers take bytes straight from the network; they never read outside
// (data, len) and never write outside their output record, and any output
// password is always zero-terminated within its 17 bytes.
//
// Thread rules: any thread may call any function; the *_make_* helpers draw
// from the shared generator of rng.h, which is itself thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#define PASSWORD_MAX_LEN 16
#define HIDMODE_COMMAND_CAP 128 // room for the longest command (96 bytes) and a zero

// Four kv_rand() draws stored as little-endian u32 values.
void password_make_nonce(uint8_t nonce[16]);

// Protocol-1 unlock message: u16 LE total length n + 19, 0xF1, the nonce,
// then the n password bytes (no terminator) encrypted under the key derived
// from the nonce. Returns n + 19, or -1 when n is 0 or above 16 or cap is
// smaller than n + 19.
int password_build_unlock(const char *password, size_t n, const uint8_t nonce[16], uint8_t *out, size_t cap);

// Device side of the unlock message (exactly one message of len bytes).
// Returns the password length 1..16 with the decrypted bytes in out followed
// by a zero, or -1 when the length field differs from len, the code is not
// 0xF1 or the password length is outside 1..16 (out is then empty).
int password_parse_unlock(const uint8_t *msg, size_t len, char out[17]);

// Protocol-2 connect-request payload (33 bytes). With a non-empty password:
// byte 0 = 1, bytes 1-16 the nonce, bytes 17-32 the zero-padded password
// (its terminator included when it is shorter than 16) encrypted as 16 bytes.
// With a null or empty password: byte 0 = 0 and bytes 17-32 zero, not
// encrypted. Only the first 16 bytes of a longer password are used.
void password_build_connect_payload(const char *password, const uint8_t nonce[16], uint8_t out[33]);

// Device side of the connect-request payload. Returns 1 with the password in
// out, 0 when no password is given (out empty), -1 when len is below 33, the
// flag is neither 0 nor 1, or the flag announces a password but the field
// decrypts to an empty one. Bytes beyond 33 are ignored.
int password_parse_connect_payload(const uint8_t *payload, size_t len, char out[17]);

// Sixteen random bytes for the HID mode command: the low byte of one
// kv_rand() draw each.
void hidmode_make_random(uint8_t r[16]);

// The HID mode command text "set hid_speed key=\"%s\" speed=\"%d\" \n" whose key
// is the 32 upper-case hex digits of r followed by "%02X" of each byte of the
// password encrypted under aes_key_from_hid_random(r); with n = 0 the key is
// the 32 digits alone (password may then be null). Writes the text and a
// terminating zero (which is not part of the command) and returns the text
// length, or -1 when n is above 16, the password holds a zero byte, speed is
// not 0 or 1, or cap is not above the text length.
int hidmode_build_command(const uint8_t r[16], const char *password, size_t n, int speed, char *out, size_t cap);

// Device side of the HID mode command: exactly one command of len bytes, not
// zero-terminated. Hex digits are accepted in either case. Returns 0 with the
// decrypted password (possibly empty) and the speed (0 or 1), or -1 for any
// text that the builder could not have produced: wrong literal parts, a key
// that is not 32 + 2n hex digits with n in 0..16, another speed, trailing
// bytes, or a password that decrypts to a zero byte. On -1 password_out is
// empty and *speed unchanged.
int hidmode_parse_command(const char *text, size_t len, char password_out[17], int *speed);

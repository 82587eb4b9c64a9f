// The firmware image's "block digest" that the dongle checks before it
// flashes: SHA-256 (FIPS 180-4) chaining without the final padding block.
//
// From the standard initial hash value the compression function is applied to
// every complete 64-byte block of the data in order; the digest is the eight
// chaining words afterwards, each written big-endian. No padding and no length
// block are processed, so a trailing part shorter than 64 bytes is left out,
// and the value differs from the standard SHA-256 digest of the same bytes.
//
// Thread rules: pure functions; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>

// One application of the SHA-256 compression function to `state`.
void sha256_compress(uint32_t state[8], const uint8_t block[64]);

void sha256_block_digest(const uint8_t *data, size_t len, uint8_t out[32]);

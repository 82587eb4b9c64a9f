// MD5 (RFC 1321): the digest that closes a protocol-2 video frame, checks a
// downloaded firmware image and heads the network firmware upload.
//
// It runs once per received video picture, so the block function works on
// whole 64-byte blocks straight from the caller's buffer; bytes are copied
// only to complete a partial block left by an earlier md5_update.
//
// Thread rules: an Md5 belongs to one thread at a time; md5() is pure.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5 {
    uint32_t state[4];
    uint64_t length;     // bytes hashed so far
    uint8_t pending[64]; // bytes of an unfinished block
};

void md5_init(Md5 *ctx);
void md5_update(Md5 *ctx, const uint8_t *data, size_t len);
// Writes the 16-byte digest in its standard byte order. The context must be
// initialised again before reuse.
void md5_final(Md5 *ctx, uint8_t out[16]);

void md5(const uint8_t *data, size_t len, uint8_t out[16]);

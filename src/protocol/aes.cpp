#include "protocol/aes.h"

#include <cstring>

// The dongle's firmware starts its counter from these same bytes.
const uint8_t AES_CTR_INITIAL_BLOCK[16] = {
    0x3a, 0x91, 0x5c, 0x07, 0xe2, 0x4d, 0xb8, 0x16, 0x6f, 0xc3, 0x29, 0x80, 0x55, 0xd4, 0x1e, 0x72,
};

static const uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

static const uint8_t kRcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

static inline uint8_t xtime(uint8_t x)
{
    return (uint8_t)((x << 1) ^ ((x >> 7) * 0x1b));
}

void aes128_init(Aes128 *aes, const uint8_t key[16])
{
    uint8_t *w = aes->round_keys;
    std::memcpy(w, key, 16);
    for (int i = 4; i < 44; i++) {
        uint8_t t[4] = {w[4 * i - 4], w[4 * i - 3], w[4 * i - 2], w[4 * i - 1]};
        if (i % 4 == 0) {
            uint8_t first = t[0];
            t[0] = (uint8_t)(kSbox[t[1]] ^ kRcon[i / 4 - 1]);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
        }
        for (int j = 0; j < 4; j++)
            w[4 * i + j] = (uint8_t)(w[4 * i - 16 + j] ^ t[j]);
    }
}

// The state is kept column-major as FIPS-197 lays it out: byte 4c + r is row
// r of column c, which is the order of the input block.
static inline void sub_shift(uint8_t s[16])
{
    uint8_t t[16];
    for (int c = 0; c < 4; c++)
        for (int r = 0; r < 4; r++)
            t[4 * c + r] = kSbox[s[4 * ((c + r) & 3) + r]];
    std::memcpy(s, t, 16);
}

static inline void mix_columns(uint8_t s[16])
{
    for (int c = 0; c < 4; c++) {
        uint8_t *col = s + 4 * c;
        uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        uint8_t all = (uint8_t)(a0 ^ a1 ^ a2 ^ a3);
        col[0] = (uint8_t)(a0 ^ all ^ xtime((uint8_t)(a0 ^ a1)));
        col[1] = (uint8_t)(a1 ^ all ^ xtime((uint8_t)(a1 ^ a2)));
        col[2] = (uint8_t)(a2 ^ all ^ xtime((uint8_t)(a2 ^ a3)));
        col[3] = (uint8_t)(a3 ^ all ^ xtime((uint8_t)(a3 ^ a0)));
    }
}

static inline void add_round_key(uint8_t s[16], const uint8_t *rk)
{
    for (int i = 0; i < 16; i++)
        s[i] ^= rk[i];
}

void aes128_encrypt_block(const Aes128 *aes, const uint8_t in[16], uint8_t out[16])
{
    uint8_t s[16];
    std::memcpy(s, in, 16);
    add_round_key(s, aes->round_keys);
    for (int round = 1; round < 10; round++) {
        sub_shift(s);
        mix_columns(s);
        add_round_key(s, aes->round_keys + 16 * round);
    }
    sub_shift(s);
    add_round_key(s, aes->round_keys + 160);
    std::memcpy(out, s, 16);
}

static inline void counter_increment(uint8_t ctr[16])
{
    for (int i = 15; i >= 0; i--) {
        if (++ctr[i] != 0)
            break;
    }
}

void aes128_ctr_from_counter(const uint8_t key[16], const uint8_t counter[16], uint8_t *data, size_t len)
{
    Aes128 aes;
    aes128_init(&aes, key);
    uint8_t ctr[16];
    uint8_t stream[16];
    std::memcpy(ctr, counter, 16);
    for (size_t off = 0; off < len; off += 16) {
        aes128_encrypt_block(&aes, ctr, stream);
        counter_increment(ctr);
        size_t n = len - off < 16 ? len - off : 16;
        for (size_t i = 0; i < n; i++)
            data[off + i] ^= stream[i];
    }
    // The schedule and keystream would reveal the key; do not leave them on the stack.
    volatile uint8_t *wipe = aes.round_keys;
    for (size_t i = 0; i < sizeof aes.round_keys; i++)
        wipe[i] = 0;
    volatile uint8_t *wipe_stream = stream;
    for (size_t i = 0; i < sizeof stream; i++)
        wipe_stream[i] = 0;
}

void aes128_ctr(const uint8_t key[16], uint8_t *data, size_t len)
{
    aes128_ctr_from_counter(key, AES_CTR_INITIAL_BLOCK, data, len);
}

void aes_key_from_nonce(const uint8_t nonce[16], uint8_t key[16])
{
    uint8_t k[16];
    std::memcpy(k, nonce, 16);
    uint8_t t = k[2];
    k[2] = k[11];
    k[11] = t;
    t = k[5];
    k[5] = k[6];
    k[6] = t;
    k[9] = (uint8_t)~k[9];
    std::memcpy(key, k, 16);
}

void aes_key_from_hid_random(const uint8_t r[16], uint8_t key[16])
{
    uint8_t k[16];
    std::memcpy(k, r, 16);
    uint8_t t = k[0];
    k[0] = k[4];
    k[4] = t;
    t = k[7];
    k[7] = k[9];
    k[9] = t;
    k[11] = (uint8_t)~k[11];
    std::memcpy(key, k, 16);
}

void aes_encrypt_with_nonce(uint8_t *data, size_t len, const uint8_t nonce[16])
{
    uint8_t key[16];
    aes_key_from_nonce(nonce, key);
    aes128_ctr(key, data, len);
    volatile uint8_t *wipe = key;
    for (size_t i = 0; i < sizeof key; i++)
        wipe[i] = 0;
}

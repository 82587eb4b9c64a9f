#include "annexb_file.h"

#include <cstdio>
#include <cstring>

namespace {

// Offset of the first byte after the next 00 00 01 at or after `from`, or
// `len` when there is none.
size_t after_start_code(const uint8_t *data, size_t len, size_t from)
{
    for (size_t i = from; i + 2 < len; i++) {
        if (data[i + 2] > 1) {
            i += 2; // no start code can end in the next two positions
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
            return i + 3;
    }
    return len;
}

bool is_slice(int type) { return type >= 1 && type <= 5; }

// Keeps a parameter set unless the same bytes were kept before or the list
// is full; `kept` holds (offset, length) pairs into the input.
void keep_param_set(std::vector<size_t> *kept, const uint8_t *data, size_t off, size_t n)
{
    if (kept->size() / 2 >= ANNEXB_MAX_PARAM_SETS)
        return;
    for (size_t i = 0; i < kept->size(); i += 2) {
        if ((*kept)[i + 1] == n && std::memcmp(data + (*kept)[i], data + off, n) == 0)
            return;
    }
    kept->push_back(off);
    kept->push_back(n);
}

} // namespace

int annexb_next_nal(const uint8_t *data, size_t len, size_t *pos, size_t *nal_offset, size_t *nal_len)
{
    if (!data || !pos)
        return 0;
    size_t p = *pos;
    while (p < len) {
        size_t start = after_start_code(data, len, p);
        if (start >= len) {
            *pos = len;
            return 0;
        }
        size_t next = after_start_code(data, len, start);
        // The NAL unit ends where the next start code's 00 00 01 begins; the
        // zero bytes before that (a four-byte start code's first byte,
        // trailing_zero_8bits) are no part of it.
        size_t end = next >= len ? len : next - 3;
        while (end > start && data[end - 1] == 0)
            end--;
        p = next >= len ? len : next - 3;
        if (end > start) {
            *pos = p;
            if (nal_offset)
                *nal_offset = start;
            if (nal_len)
                *nal_len = end - start;
            return 1;
        }
    }
    *pos = len;
    return 0;
}

void annexb_append_nal(std::vector<uint8_t> *out, const uint8_t *nal, size_t nal_len)
{
    static const uint8_t start_code[4] = {0, 0, 0, 1};
    out->insert(out->end(), start_code, start_code + 4);
    out->insert(out->end(), nal, nal + nal_len);
}

int annexb_split(const uint8_t *data, size_t len, AnnexbStream *out)
{
    if (!out)
        return -1;
    *out = AnnexbStream();
    if (!data)
        return len ? -1 : 0;

    std::vector<size_t> sps, pps;
    std::vector<uint8_t> cur;
    bool interrupted = false;
    size_t pos = 0, off = 0, n = 0;
    auto finish = [&]() {
        if (cur.empty())
            return;
        out->idr.push_back((cur[4] & 0x1F) == ANNEXB_NAL_IDR ? 1 : 0);
        out->units.push_back(std::move(cur));
        cur.clear();
    };
    while (annexb_next_nal(data, len, &pos, &off, &n)) {
        int type = data[off] & 0x1F;
        if (is_slice(type)) {
            bool first_mb_zero = (type == 1 || type == 5) && n >= 2 && (data[off + 1] & 0x80);
            if (cur.empty() || interrupted || first_mb_zero)
                finish();
            annexb_append_nal(&cur, data + off, n);
            interrupted = false;
            continue;
        }
        if (type == ANNEXB_NAL_SPS)
            keep_param_set(&sps, data, off, n);
        else if (type == ANNEXB_NAL_PPS)
            keep_param_set(&pps, data, off, n);
        if (!cur.empty())
            interrupted = true;
    }
    finish();

    // A header without both kinds would make the viewer's configuration
    // test (a packet that starts with an SPS) or its decoder fail.
    if (!sps.empty() && !pps.empty()) {
        for (size_t i = 0; i < sps.size(); i += 2)
            annexb_append_nal(&out->codec_header, data + sps[i], sps[i + 1]);
        for (size_t i = 0; i < pps.size(); i += 2)
            annexb_append_nal(&out->codec_header, data + pps[i], pps[i + 1]);
    }
    out->sps_count = sps.size() / 2;
    out->pps_count = pps.size() / 2;
    out->first_idr = out->units.size();
    for (size_t i = 0; i < out->idr.size(); i++) {
        if (out->idr[i]) {
            out->first_idr = i;
            break;
        }
    }
    return (int)out->units.size();
}

int annexb_file_load(const char *path, size_t max_bytes, AnnexbStream *out)
{
    if (!path || !out)
        return -1;
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return -1;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t got;
    int result = 0;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (bytes.size() + got > max_bytes) {
            result = -2;
            break;
        }
        bytes.insert(bytes.end(), buf, buf + got);
    }
    if (result == 0 && std::ferror(f))
        result = -1;
    std::fclose(f);
    if (result < 0)
        return result;
    int units = annexb_split(bytes.data(), bytes.size(), out);
    if (units < 0)
        return -1;
    if (out->sps_count == 0 || out->pps_count == 0)
        return -3;
    if (out->first_idr >= out->units.size())
        return -4;
    return units;
}

const std::vector<uint8_t> *annexb_stream_next(const AnnexbStream *s, size_t *cursor, bool *is_idr)
{
    if (!s || !cursor || s->first_idr >= s->units.size())
        return nullptr;
    size_t i = *cursor;
    if (i < s->first_idr || i >= s->units.size())
        i = s->first_idr;
    *cursor = i + 1;
    if (is_idr)
        *is_idr = s->idr[i] != 0;
    return &s->units[i];
}

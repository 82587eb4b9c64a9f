// The HID report descriptor walk that gives the feature report length.
#include "platform/hid_descriptor.h"

int usb_hid_feature_length(const uint8_t *desc, size_t len, int collection)
{
    if (!desc || collection < 1)
        return 0;
    struct Globals {
        uint32_t report_size, report_count, report_id;
    };
    Globals g{0, 0, 0};
    Globals stack[8];
    int sp = 0;
    int depth = 0;
    int top = 0;  // index of the current top-level collection, from 1
    uint32_t feature_bits[256] = {0};
    bool any = false;

    size_t pos = 0;
    while (pos < len) {
        uint8_t prefix = desc[pos];
        if (prefix == 0xFE) {  // long item: skipped whole
            if (len - pos < 3)
                return 0;
            size_t n = desc[pos + 1];
            if (len - pos - 3 < n)
                return 0;
            pos += 3 + n;
            continue;
        }
        size_t size = prefix & 3;
        if (size == 3)
            size = 4;
        if (len - pos - 1 < size)
            return 0;
        uint32_t value = 0;
        for (size_t i = 0; i < size; i++)
            value |= (uint32_t)desc[pos + 1 + i] << (8 * i);
        int type = (prefix >> 2) & 3;
        int tag = prefix >> 4;
        pos += 1 + size;

        if (type == 0) {  // main
            if (tag == 0xA) {
                if (depth == 0)
                    top++;
                depth++;
            } else if (tag == 0xC) {
                if (depth > 0)
                    depth--;
            } else if (tag == 0xB && depth > 0 && top == collection) {
                uint64_t add = (uint64_t)g.report_size * g.report_count;
                uint32_t id = g.report_id & 0xFF;
                uint64_t sum = feature_bits[id] + add;
                feature_bits[id] = sum > 0xFFFFFFF ? 0xFFFFFFF : (uint32_t)sum;
                any = true;
            }
        } else if (type == 1) {  // global
            if (tag == 7)
                g.report_size = value;
            else if (tag == 9)
                g.report_count = value;
            else if (tag == 8)
                g.report_id = value;
            else if (tag == 0xA) {
                if (sp < 8)
                    stack[sp++] = g;
            } else if (tag == 0xB) {
                if (sp > 0)
                    g = stack[--sp];
            }
        }
    }
    if (!any)
        return 0;
    uint32_t longest = 0;
    for (uint32_t b : feature_bits)
        if (b > longest)
            longest = b;
    uint32_t bytes = (longest + 7) / 8 + 1;
    return bytes > 65536 ? 0 : (int)bytes;
}

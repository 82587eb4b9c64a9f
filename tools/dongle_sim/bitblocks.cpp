#include "bitblocks.h"

#include <cmath>
#include <cstring>

namespace {

const uint8_t kStartMarker[4] = {1, 1, 0, 1};
const uint8_t kStopMarker[4] = {1, 0, 1, 1};

// The 112 cells in drawing order: row 0 then row 1, left to right.
void make_cells(uint32_t frame, uint64_t time_ms, uint8_t cells[BITBLOCKS_ROWS * BITBLOCKS_PER_ROW])
{
    uint8_t bytes[13];
    for (int i = 0; i < 4; i++)
        bytes[i] = (uint8_t)(frame >> (24 - 8 * i));
    for (int i = 0; i < 8; i++)
        bytes[4 + i] = (uint8_t)(time_ms >> (56 - 8 * i));
    bytes[12] = bitblocks_crc8(bytes, 12);

    int n = 0;
    for (int i = 0; i < 4; i++)
        cells[n++] = kStartMarker[i];
    for (int bit = 0; bit < BITBLOCKS_PAYLOAD_BITS; bit++)
        cells[n++] = (bytes[bit / 8] >> (7 - bit % 8)) & 1;
    for (int i = 0; i < 4; i++)
        cells[n++] = kStopMarker[i];
}

bool decode_cells(const uint8_t cells[BITBLOCKS_ROWS * BITBLOCKS_PER_ROW], uint32_t *frame, uint64_t *time_ms)
{
    const int total = BITBLOCKS_ROWS * BITBLOCKS_PER_ROW;
    for (int i = 0; i < 4; i++) {
        if (cells[i] != kStartMarker[i] || cells[total - 4 + i] != kStopMarker[i])
            return false;
    }
    uint8_t bytes[13] = {};
    for (int bit = 0; bit < BITBLOCKS_PAYLOAD_BITS; bit++) {
        if (cells[4 + bit])
            bytes[bit / 8] |= (uint8_t)(0x80 >> (bit % 8));
    }
    if (bitblocks_crc8(bytes, 12) != bytes[12])
        return false;
    uint32_t f = 0;
    for (int i = 0; i < 4; i++)
        f = (f << 8) | bytes[i];
    uint64_t t = 0;
    for (int i = 0; i < 8; i++)
        t = (t << 8) | bytes[4 + i];
    if (frame)
        *frame = f;
    if (time_ms)
        *time_ms = t;
    return true;
}

int edge(double origin, double unit, int k) { return (int)std::lround(origin + k * unit); }

void fill_rect(uint8_t *plane, int stride, int plane_w, int plane_h, int x0, int y0, int x1, int y1, uint8_t value)
{
    if (x0 < 0)
        x0 = 0;
    if (y0 < 0)
        y0 = 0;
    if (x1 > plane_w)
        x1 = plane_w;
    if (y1 > plane_h)
        y1 = plane_h;
    if (x0 >= x1 || y0 >= y1)
        return;
    for (int y = y0; y < y1; y++)
        std::memset(plane + (size_t)y * stride + x0, value, (size_t)(x1 - x0));
}

// Reads the cells through a brightness sampler over a rectangle whose
// top-left is (px, py) and whose size is (pw, ph); `bright(x, y)` is only
// called for 0 <= x < img_w, 0 <= y < img_h.
template <typename Sampler>
bool read_cells(int img_w, int img_h, double px, double py, int pw, int ph, Sampler bright, uint32_t *frame,
                uint64_t *time_ms)
{
    double unit = bitblocks_unit(pw, ph);
    if (unit < 2.0)
        return false;
    double half = unit / 4.0;
    uint8_t cells[BITBLOCKS_ROWS * BITBLOCKS_PER_ROW];
    for (int r = 0; r < BITBLOCKS_ROWS; r++) {
        double cy = py + unit + (r + 0.5) * unit;
        int y0 = (int)std::floor(cy - half), y1 = (int)std::floor(cy + half);
        for (int k = 0; k < BITBLOCKS_PER_ROW; k++) {
            double cx = px + unit + (k + 0.5) * unit;
            int x0 = (int)std::floor(cx - half), x1 = (int)std::floor(cx + half);
            if (x0 < 0 || y0 < 0 || x1 >= img_w || y1 >= img_h)
                return false;
            long sum = 0, count = 0;
            for (int y = y0; y <= y1; y++) {
                for (int x = x0; x <= x1; x++) {
                    sum += bright(x, y);
                    count++;
                }
            }
            cells[r * BITBLOCKS_PER_ROW + k] = sum >= 128 * count ? 1 : 0;
        }
    }
    return decode_cells(cells, frame, time_ms);
}

template <int Bpp>
bool read_packed(const uint8_t *img, int stride, int img_w, int img_h, int pic_x, int pic_y, int pic_w, int pic_h,
                 uint32_t *frame, uint64_t *time_ms)
{
    if (!img || img_w <= 0 || img_h <= 0 || pic_w <= 0 || pic_h <= 0 || stride < img_w * Bpp)
        return false;
    auto bright = [&](int x, int y) {
        const uint8_t *p = img + (size_t)y * stride + (size_t)x * Bpp;
        return (p[0] + p[1] + p[2]) / 3;
    };
    return read_cells(img_w, img_h, pic_x, pic_y, pic_w, pic_h, bright, frame, time_ms);
}

} // namespace

uint8_t bitblocks_crc8(const uint8_t *data, int len)
{
    uint8_t crc = 0xFF;
    for (int i = 0; i < len; i++) {
        crc ^= data[i];
        for (int b = 0; b < 8; b++)
            crc = (uint8_t)((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

double bitblocks_unit(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0.0;
    double by_h = height / 45.0;
    double by_w = width / (double)(BITBLOCKS_PER_ROW + 2);
    return by_h < by_w ? by_h : by_w;
}

void bitblocks_write(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                     int height, uint32_t frame, uint64_t time_ms)
{
    double unit = bitblocks_unit(width, height);
    if (!y || unit < 2.0)
        return;
    uint8_t cells[BITBLOCKS_ROWS * BITBLOCKS_PER_ROW];
    make_cells(frame, time_ms, cells);

    // A black backing panel keeps the outer blocks' edges sharp whatever
    // picture lies around the stamp.
    int bx0 = edge(unit / 2, unit, 0), by0 = bx0;
    int bx1 = edge(unit / 2, unit, BITBLOCKS_PER_ROW + 1);
    int by1 = edge(unit / 2, unit, BITBLOCKS_ROWS + 1);
    fill_rect(y, y_stride, width, height, bx0, by0, bx1, by1, BITBLOCKS_BLACK);
    int cw = (width + 1) / 2, ch = (height + 1) / 2;
    if (u)
        fill_rect(u, u_stride, cw, ch, bx0 / 2, by0 / 2, (bx1 + 1) / 2, (by1 + 1) / 2, 128);
    if (v)
        fill_rect(v, v_stride, cw, ch, bx0 / 2, by0 / 2, (bx1 + 1) / 2, (by1 + 1) / 2, 128);

    for (int r = 0; r < BITBLOCKS_ROWS; r++) {
        for (int k = 0; k < BITBLOCKS_PER_ROW; k++) {
            if (!cells[r * BITBLOCKS_PER_ROW + k])
                continue;
            fill_rect(y, y_stride, width, height, edge(unit, unit, k), edge(unit, unit, r), edge(unit, unit, k + 1),
                      edge(unit, unit, r + 1), BITBLOCKS_WHITE);
        }
    }
}

bool bitblocks_read(const uint8_t *y, int y_stride, int width, int height, uint32_t *frame, uint64_t *time_ms)
{
    if (!y || width <= 0 || height <= 0 || y_stride < width)
        return false;
    auto bright = [&](int x, int yy) { return (int)y[(size_t)yy * y_stride + x]; };
    return read_cells(width, height, 0, 0, width, height, bright, frame, time_ms);
}

bool bitblocks_read_rgb(const uint8_t *rgb, int stride, int img_width, int img_height, int pic_x, int pic_y,
                        int pic_w, int pic_h, uint32_t *frame, uint64_t *time_ms)
{
    return read_packed<3>(rgb, stride, img_width, img_height, pic_x, pic_y, pic_w, pic_h, frame, time_ms);
}

bool bitblocks_read_rgb32(const uint8_t *rgba, int stride, int img_width, int img_height, int pic_x, int pic_y,
                          int pic_w, int pic_h, uint32_t *frame, uint64_t *time_ms)
{
    return read_packed<4>(rgba, stride, img_width, img_height, pic_x, pic_y, pic_w, pic_h, frame, time_ms);
}

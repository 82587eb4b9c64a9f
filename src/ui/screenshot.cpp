#include "ui/screenshot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <stb_image_write.h>

#include "ui/video_view.h"

namespace {

// A chroma sample between texels, as linear filtering reads it for luma
// position i of a picture drawn at its own size: 3/4 of the nearest texel and
// 1/4 of its neighbour on that side, clamped at the edges.
inline float chroma_at(const uint8_t *row_a, const uint8_t *row_b, float wa, int x, int cw)
{
    int k = x / 2;
    int n = (x & 1) ? std::min(k + 1, cw - 1) : std::max(k - 1, 0);
    float a = 0.75f * row_a[k] + 0.25f * row_a[n];
    float b = 0.75f * row_b[k] + 0.25f * row_b[n];
    return (wa * a + (1.0f - wa) * b) / 255.0f;
}

inline uint8_t to_byte(float v)
{
    v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
    return (uint8_t)(v * 255.0f + 0.5f);
}

} // namespace

int screenshot_to_rgb(const YuvPicture *p, std::vector<uint8_t> *rgb)
{
    if (!p || !rgb || p->width < 1 || p->height < 1)
        return -1;
    const int cw = (p->width + 1) / 2, ch = (p->height + 1) / 2;
    if (p->strides[0] < p->width || p->strides[1] < cw || p->strides[2] < cw ||
        p->planes[0].size() < (size_t)p->strides[0] * p->height ||
        p->planes[1].size() < (size_t)p->strides[1] * ch || p->planes[2].size() < (size_t)p->strides[2] * ch)
        return -1;
    rgb->resize((size_t)p->width * p->height * 3);
    for (int y = 0; y < p->height; y++) {
        const int k = y / 2;
        const int n = (y & 1) ? std::min(k + 1, ch - 1) : std::max(k - 1, 0);
        const uint8_t *yr = p->planes[0].data() + (size_t)y * p->strides[0];
        const uint8_t *ua = p->planes[1].data() + (size_t)k * p->strides[1];
        const uint8_t *ub = p->planes[1].data() + (size_t)n * p->strides[1];
        const uint8_t *va = p->planes[2].data() + (size_t)k * p->strides[2];
        const uint8_t *vb = p->planes[2].data() + (size_t)n * p->strides[2];
        uint8_t *out = rgb->data() + (size_t)y * p->width * 3;
        for (int x = 0; x < p->width; x++) {
            const float yy = yr[x] / 255.0f;
            const float u = chroma_at(ua, ub, 0.75f, x, cw) - 0.5f;
            const float v = chroma_at(va, vb, 0.75f, x, cw) - 0.5f;
            out[3 * x] = to_byte(yy + (float)VIDEO_YUV_R_V * v);
            out[3 * x + 1] = to_byte(yy - (float)VIDEO_YUV_G_U * u - (float)VIDEO_YUV_G_V * v);
            out[3 * x + 2] = to_byte(yy + (float)VIDEO_YUV_B_U * u);
        }
    }
    return 0;
}

int screenshot_write_png(const YuvPicture *p, const char *path)
{
    std::vector<uint8_t> rgb;
    if (!path || screenshot_to_rgb(p, &rgb) != 0)
        return -1;
    return stbi_write_png(path, p->width, p->height, 3, rgb.data(), p->width * 3) ? 0 : -1;
}

std::string screenshot_folder(void)
{
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        return std::string();
    std::string h = home;
    while (h.size() > 1 && h.back() == '/')
        h.pop_back();
    const char *config = std::getenv("XDG_CONFIG_HOME");
    std::string dirs = (config && *config == '/') ? std::string(config) : h + "/.config";
    std::string pictures;
    std::ifstream in(dirs + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        // XDG_PICTURES_DIR="$HOME/Pictures" or an absolute path in quotes.
        const std::string key = "XDG_PICTURES_DIR=\"";
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, key.size(), key) != 0)
            continue;
        size_t end = line.find('"', at + key.size());
        if (end == std::string::npos)
            continue;
        std::string v = line.substr(at + key.size(), end - at - key.size());
        if (v.compare(0, 5, "$HOME") == 0)
            v = h + v.substr(5);
        if (!v.empty() && v[0] == '/')
            pictures = v;
    }
    while (pictures.size() > 1 && pictures.back() == '/')
        pictures.pop_back();
    if (pictures.empty() || pictures == h)
        pictures = h + "/Pictures";
    return pictures + "/KAVRI";
}

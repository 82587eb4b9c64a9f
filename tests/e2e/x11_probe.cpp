// kavri-x11-probe: what the end-to-end test needs to see and touch of the
// viewer's window on an X server.
//
//   kavri-x11-probe check TITLE SRC_W SRC_H [SAVE.ppm]
//       Finds the top-level window named TITLE, grabs what it shows and checks
//       that it shows the simulated dongle's test picture (a SRC_W x SRC_H
//       source) fitted into the window with its aspect kept and centred, on
//       the 0.1 grey of the letterbox: the eight bar colours, the grey above
//       and below (or left and right of) the picture, the picture's edges, and
//       the bit-block stamp read through the expected rectangle. Prints
//       "frame N" and exits 0 when all holds; otherwise prints what is wrong
//       and exits 1 (2 when there is no such window). SAVE.ppm receives the
//       grab either way.
//   kavri-x11-probe close TITLE
//       Asks the window to close the way a window manager's close button does
//       (a WM_DELETE_WINDOW client message). Exits 2 when there is no window.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dongle_sim/bitblocks.h"
#include "dongle_sim/test_pattern.h"

namespace {

const int kTolerance = 8;
const int kGrey = 26; // 0.1 of full scale

Window find_window(Display *d, Window w, const char *title)
{
    char *name = nullptr;
    if (XFetchName(d, w, &name) && name) {
        bool match = std::strcmp(name, title) == 0;
        XFree(name);
        if (match)
            return w;
    }
    Window root_ret, parent;
    Window *kids = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, w, &root_ret, &parent, &kids, &n))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < n && !found; i++)
        found = find_window(d, kids[i], title);
    if (kids)
        XFree(kids);
    return found;
}

struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> px; // packed RGB
    const uint8_t *at(int x, int y) const { return &px[((size_t)y * width + x) * 3]; }
};

// The window's contents as they are on the screen (read from the root, so
// that whatever the GL driver drew into the window is what is read).
bool grab(Display *d, Window w, Rgb *out)
{
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable)
        return false;
    Window root = DefaultRootWindow(d), child;
    int x = 0, y = 0;
    XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
    XImage *img = XGetImage(d, root, x, y, (unsigned)a.width, (unsigned)a.height, AllPlanes, ZPixmap);
    if (!img)
        return false;
    out->width = a.width;
    out->height = a.height;
    out->px.resize((size_t)a.width * a.height * 3);
    auto channel = [](unsigned long v, unsigned long mask) {
        if (!mask)
            return 0;
        int shift = 0;
        while (!(mask & 1)) {
            mask >>= 1;
            shift++;
        }
        return (int)(((v >> shift) & mask) * 255 / mask);
    };
    for (int r = 0; r < a.height; r++)
        for (int c = 0; c < a.width; c++) {
            unsigned long v = XGetPixel(img, c, r);
            uint8_t *p = &out->px[((size_t)r * a.width + c) * 3];
            p[0] = (uint8_t)channel(v, img->red_mask);
            p[1] = (uint8_t)channel(v, img->green_mask);
            p[2] = (uint8_t)channel(v, img->blue_mask);
        }
    XDestroyImage(img);
    return true;
}

void save_ppm(const Rgb &img, const char *path)
{
    FILE *f = std::fopen(path, "wb");
    if (!f)
        return;
    std::fprintf(f, "P6\n%d %d\n255\n", img.width, img.height);
    std::fwrite(img.px.data(), 1, img.px.size(), f);
    std::fclose(f);
}

bool near(const uint8_t *p, int r, int g, int b)
{
    return std::abs(p[0] - r) <= kTolerance && std::abs(p[1] - g) <= kTolerance && std::abs(p[2] - b) <= kTolerance;
}

std::string describe(const uint8_t *p)
{
    char s[48];
    std::snprintf(s, sizeof s, "(%d %d %d)", p[0], p[1], p[2]);
    return s;
}

int check(Display *d, const char *title, int src_w, int src_h, const char *save)
{
    Window w = find_window(d, DefaultRootWindow(d), title);
    if (!w) {
        std::printf("no window named \"%s\"\n", title);
        return 2;
    }
    Rgb img;
    if (!grab(d, w, &img)) {
        std::printf("window not viewable\n");
        return 1;
    }
    if (save)
        save_ppm(img, save);

    // The picture keeps its aspect and fills the window's width or height.
    int ww = img.width, wh = img.height, dw, dh;
    if ((int64_t)ww * src_h <= (int64_t)wh * src_w) {
        dw = ww;
        dh = (int)((int64_t)ww * src_h / src_w);
    } else {
        dh = wh;
        dw = (int)((int64_t)wh * src_w / src_h);
    }
    int rx = (ww - dw) / 2, ry = (wh - dh) / 2;
    std::string bad;

    int py = ry + test_pattern_probe_y(dh);
    for (int i = 0; i < TEST_PATTERN_BAR_COUNT; i++) {
        const TestPatternBar &b = test_pattern_bars[i];
        const uint8_t *p = img.at(rx + test_pattern_probe_x(dw, i), py);
        if (!near(p, b.r, b.g, b.b))
            bad += std::string(" ") + b.name + " bar " + describe(p) + ";";
    }

    // The letterbox on both sides of the picture, and the picture reaching
    // to within two pixels of the expected edge (the black bar at the top
    // right, just inside; the grey just outside).
    if (ry >= 4) {
        int x = rx + test_pattern_probe_x(dw, TEST_PATTERN_BAR_COUNT - 1);
        const uint8_t *above = img.at(ww / 2, ry / 2), *below = img.at(ww / 2, ry + dh + (wh - ry - dh) / 2);
        const uint8_t *outside = img.at(x, ry - 3), *inside = img.at(x, ry + 2);
        if (!near(above, kGrey, kGrey, kGrey) || !near(below, kGrey, kGrey, kGrey))
            bad += " letterbox " + describe(above) + " " + describe(below) + ";";
        if (!near(outside, kGrey, kGrey, kGrey) || !near(inside, 0, 0, 0))
            bad += " top edge " + describe(outside) + " " + describe(inside) + ";";
    } else if (rx >= 4) {
        const uint8_t *left = img.at(rx / 2, wh / 2), *right = img.at(rx + dw + (ww - rx - dw) / 2, wh / 2);
        const uint8_t *outside = img.at(rx + dw + 2, py), *inside = img.at(rx + dw - 3, py);
        if (!near(left, kGrey, kGrey, kGrey) || !near(right, kGrey, kGrey, kGrey))
            bad += " letterbox " + describe(left) + " " + describe(right) + ";";
        if (!near(outside, kGrey, kGrey, kGrey) || !near(inside, 0, 0, 0))
            bad += " right edge " + describe(outside) + " " + describe(inside) + ";";
    } else {
        bad += " no room for a letterbox in " + std::to_string(ww) + "x" + std::to_string(wh) + ";";
    }

    uint32_t frame = 0;
    uint64_t time_ms = 0;
    if (!bitblocks_read_rgb(img.px.data(), img.width * 3, img.width, img.height, rx, ry, dw, dh, &frame, &time_ms))
        bad += " no frame stamp;";

    if (!bad.empty()) {
        std::printf("picture (%d,%d %dx%d) in %dx%d:%s\n", rx, ry, dw, dh, ww, wh, bad.c_str());
        return 1;
    }
    std::printf("frame %u\n", frame);
    return 0;
}

int close_window(Display *d, const char *title)
{
    Window w = find_window(d, DefaultRootWindow(d), title);
    if (!w) {
        std::printf("no window named \"%s\"\n", title);
        return 2;
    }
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XSync(d, False);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kavri-x11-probe check TITLE SRC_W SRC_H [SAVE.ppm] | close TITLE\n");
        return 64;
    }
    Display *d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "cannot open the display\n");
        return 3;
    }
    int rc = 64;
    if (std::strcmp(argv[1], "check") == 0 && argc >= 5)
        rc = check(d, argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argc >= 6 ? argv[5] : nullptr);
    else if (std::strcmp(argv[1], "close") == 0)
        rc = close_window(d, argv[2]);
    else
        std::fprintf(stderr, "unknown command\n");
    XCloseDisplay(d);
    return rc;
}

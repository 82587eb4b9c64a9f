// kavri-x11-probe: what the end-to-end tests need to see and touch of the
// viewer's window on an X server. TITLE finds the top-level window whose name
// starts with it; a SOURCE is a TITLE, or @FILE.ppm for a grab saved earlier.
//
//   check SOURCE SRC_W SRC_H [SAVE.ppm]
//       The window shows the simulated dongle's test picture (a SRC_W x SRC_H
//       source) fitted with its aspect kept and centred on the 0.1 grey of
//       the letterbox: the bar colours, the letterbox, the picture's edges and
//       the bit-block stamp. Prints "frame N" and exits 0, or prints what is
//       wrong and exits 1 (2: no such window). A @FILE.ppm of exactly
//       SRC_W x SRC_H is checked without a letterbox (a screenshot).
//   close TITLE      what a window manager's close button sends (WM_DELETE_WINDOW)
//   save TITLE FILE.ppm
//   count SOURCE X Y W H R G B TOL
//       How many pixels of the rectangle lie within TOL of (R, G, B), and
//       their bounding box: "N X0 Y0 X1 Y1" ("0 -1 -1 -1 -1" for none).
//   compare SOURCE REF X Y W H TOL
//       Exits 0 when no pixel of the rectangle differs between the two by
//       more than TOL in any channel; prints "N of M pixels differ".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
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
        bool match = std::strncmp(name, title, std::strlen(title)) == 0;
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

// The display, opened when first needed (not for saved pictures alone).
Display *display()
{
    static Display *d = XOpenDisplay(nullptr);
    return d;
}

// The window named title, or 0 after saying there is none (or no display).
Window find_or_say(const char *title)
{
    Window w = display() ? find_window(display(), DefaultRootWindow(display()), title) : 0;
    if (!w)
        std::printf("no window named \"%s\" on the display\n", title);
    return w;
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
    *out = Rgb{a.width, a.height, std::vector<uint8_t>((size_t)a.width * a.height * 3)};
    // The e2e X server's 24-bit true colour: 8 bits a channel, red highest.
    for (int r = 0; r < a.height; r++)
        for (int c = 0; c < a.width; c++) {
            unsigned long v = XGetPixel(img, c, r);
            uint8_t *p = &out->px[((size_t)r * a.width + c) * 3];
            p[0] = (uint8_t)(v >> 16);
            p[1] = (uint8_t)(v >> 8);
            p[2] = (uint8_t)v;
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

int source(const char *what, Rgb *img);

int check(const char *title, int src_w, int src_h, const char *save)
{
    Rgb img;
    if (int rc = source(title, &img))
        return rc;
    if (save)
        save_ppm(img, save);

    // The picture keeps its aspect and fills the window's width or height.
    const int ww = img.width, wh = img.height;
    const bool fills_width = (int64_t)ww * src_h <= (int64_t)wh * src_w;
    const int dw = fills_width ? ww : (int)((int64_t)wh * src_w / src_h);
    const int dh = fills_width ? (int)((int64_t)ww * src_h / src_w) : wh;
    int rx = (ww - dw) / 2, ry = (wh - dh) / 2;
    std::string bad;

    int py = ry + test_pattern_probe_y(dh);
    for (int i = 0; i < TEST_PATTERN_BAR_COUNT; i++) {
        const TestPatternBar &b = test_pattern_bars[i];
        const uint8_t *p = img.at(rx + test_pattern_probe_x(dw, i), py);
        if (!near(p, b.r, b.g, b.b))
            bad += std::string(" ") + b.name + " bar " + describe(p) + ";";
    }

    // The letterbox above and below the picture (the windows are wider than
    // the pictures), and the picture reaching to within two pixels of the
    // expected edge (the black bar at the top right, just inside; the grey
    // just outside).
    if (ry >= 4) {
        int x = rx + test_pattern_probe_x(dw, TEST_PATTERN_BAR_COUNT - 1);
        const uint8_t *above = img.at(ww / 2, ry / 2), *below = img.at(ww / 2, ry + dh + (wh - ry - dh) / 2);
        const uint8_t *outside = img.at(x, ry - 3), *inside = img.at(x, ry + 2);
        if (!near(above, kGrey, kGrey, kGrey) || !near(below, kGrey, kGrey, kGrey))
            bad += " letterbox " + describe(above) + " " + describe(below) + ";";
        if (!near(outside, kGrey, kGrey, kGrey) || !near(inside, 0, 0, 0))
            bad += " top edge " + describe(outside) + " " + describe(inside) + ";";
    } else if (title[0] == '@' && rx == 0 && ry == 0) {
        // A saved picture alone (a screenshot): no letterbox to look at.
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

int close_window(const char *title)
{
    Window w = find_or_say(title);
    if (!w)
        return 2;
    Display *d = display();
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

bool load_ppm(const char *path, Rgb *out)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    int w = 0, h = 0, max = 0;
    bool ok = std::fscanf(f, "P6 %d %d %d", &w, &h, &max) == 3 && w > 0 && h > 0 && w <= 16384 && h <= 16384 &&
              max == 255 && std::fgetc(f) != EOF;
    if (ok) {
        *out = Rgb{w, h, std::vector<uint8_t>((size_t)w * h * 3)};
        ok = std::fread(out->px.data(), 1, out->px.size(), f) == out->px.size();
    }
    std::fclose(f);
    return ok;
}

// A window's grab, or a saved one for "@FILE.ppm". Returns 0, or the exit
// code to end with.
int source(const char *what, Rgb *img)
{
    if (what[0] == '@') {
        if (!load_ppm(what + 1, img)) {
            std::printf("cannot read %s\n", what + 1);
            return 1;
        }
        return 0;
    }
    Window w = find_or_say(what);
    if (!w)
        return 2;
    if (!grab(display(), w, img)) {
        std::printf("window not viewable\n");
        return 1;
    }
    return 0;
}

struct Rect {
    int x, y, w, h;
};

// Clips r to the image; false when nothing is left.
bool clip(const Rgb &img, Rect *r)
{
    int x0 = std::max(r->x, 0), y0 = std::max(r->y, 0);
    int x1 = std::min(r->x + r->w, img.width), y1 = std::min(r->y + r->h, img.height);
    if (x1 <= x0 || y1 <= y0) {
        std::printf("empty rectangle\n");
        return false;
    }
    *r = Rect{x0, y0, x1 - x0, y1 - y0};
    return true;
}

int count(const Rgb &img, Rect r, int red, int green, int blue, int tol)
{
    if (!clip(img, &r))
        return 1;
    long n = 0;
    int x0 = img.width, y0 = img.height, x1 = -1, y1 = -1;
    for (int y = r.y; y < r.y + r.h; y++)
        for (int x = r.x; x < r.x + r.w; x++) {
            const uint8_t *p = img.at(x, y);
            if (std::abs(p[0] - red) > tol || std::abs(p[1] - green) > tol || std::abs(p[2] - blue) > tol)
                continue;
            n++;
            x0 = std::min(x0, x), x1 = std::max(x1, x);
            y0 = std::min(y0, y), y1 = std::max(y1, y);
        }
    if (!n)
        x0 = y0 = -1;
    std::printf("%ld %d %d %d %d\n", n, x0, y0, x1, y1);
    return 0;
}

int compare(const Rgb &img, const Rgb &ref, Rect r, int tol)
{
    if (ref.width != img.width || ref.height != img.height) {
        std::printf("%dx%d against %dx%d\n", img.width, img.height, ref.width, ref.height);
        return 1;
    }
    if (!clip(img, &r))
        return 1;
    long off = 0;
    for (int y = r.y; y < r.y + r.h; y++)
        for (int x = r.x; x < r.x + r.w; x++) {
            const uint8_t *a = img.at(x, y), *b = ref.at(x, y);
            off += std::abs(a[0] - b[0]) > tol || std::abs(a[1] - b[1]) > tol || std::abs(a[2] - b[2]) > tol;
        }
    std::printf("%ld of %ld pixels differ\n", off, (long)r.w * r.h);
    return off ? 1 : 0;
}

bool rect_args(char **argv, Rect *r)
{
    *r = Rect{std::atoi(argv[0]), std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3])};
    return r->w > 0 && r->h > 0;
}

// A window can go away while the tree is walked or grabbed (the viewer
// starting or ending); the request then fails instead of ending the probe.
int ignore_x_error(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: see the comment at the top of x11_probe.cpp\n");
        return 64;
    }
    const char *cmd = argv[1];
    XSetErrorHandler(ignore_x_error);
    int rc = 64;
    Rgb img;
    Rect r{};
    if (std::strcmp(cmd, "check") == 0 && argc >= 5) {
        rc = check(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argc >= 6 ? argv[5] : nullptr);
    } else if (std::strcmp(cmd, "close") == 0) {
        rc = close_window(argv[2]);
    } else if (std::strcmp(cmd, "save") == 0 && argc == 4) {
        rc = source(argv[2], &img);
        if (rc == 0)
            save_ppm(img, argv[3]);
    } else if (std::strcmp(cmd, "count") == 0 && argc == 11 && rect_args(argv + 3, &r)) {
        rc = source(argv[2], &img);
        if (rc == 0)
            rc = count(img, r, std::atoi(argv[7]), std::atoi(argv[8]), std::atoi(argv[9]), std::atoi(argv[10]));
    } else if (std::strcmp(cmd, "compare") == 0 && argc == 9 && rect_args(argv + 4, &r)) {
        Rgb ref;
        rc = source(argv[2], &img);
        if (rc == 0)
            rc = source(argv[3], &ref);
        if (rc == 0)
            rc = compare(img, ref, r, std::atoi(argv[8]));
    } else {
        std::fprintf(stderr, "unknown command or wrong arguments\n");
    }
    return rc;
}

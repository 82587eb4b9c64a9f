// Open failures of the USB layer, written once each to standard error.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usb.h"

namespace {

std::mutex g_lock;
std::vector<std::string> g_written;  // "error path" of the failures written, the last few

}  // namespace

void usb_log_open_error(const char *path, int error, const char *library_text)
{
    if (!path)
        path = "";
    std::string key = std::to_string(error) + " " + path;
    {
        std::lock_guard<std::mutex> g(g_lock);
        for (const std::string &k : g_written)
            if (k == key)
                return;
        if (g_written.size() >= 16)
            g_written.erase(g_written.begin());
        g_written.push_back(key);
    }
    const char *text = library_text && library_text[0] ? library_text : "failed";
    if (error == USB_ERROR_ACCESS)
        std::fprintf(stderr,
                     "usb: cannot open %s: %s: no permission; install the udev rule %s "
                     "(README: USB dongles and the udev rule), then replug the dongle\n",
                     path, text, USB_UDEV_RULE);
    else
        std::fprintf(stderr, "usb: cannot open %s: %s\n", path, text);
}

void usb_log_reset(void)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_written.clear();
}

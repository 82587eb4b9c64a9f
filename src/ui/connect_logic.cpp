#include "ui/connect_logic.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>

#include "link/link.h"

ConnectPoint connect_panel_origin(float w, float h)
{
    return ConnectPoint{(w - CONNECT_PANEL_W) / 2.0f, (h - CONNECT_PANEL_H) / 2.0f};
}

int connect_action_buttons(int panel_mode, ConnectPoint q, ConnectPoint s, ConnectPoint *forward, ConnectPoint *back)
{
    float y = q.y + s.y - CONNECT_RADIUS;
    float mid = q.x + s.x / 2.0f;
    if (panel_mode == 3) {
        if (back)
            *back = ConnectPoint{mid - 8.0f - CONNECT_RADIUS, y};
        if (forward)
            *forward = ConnectPoint{mid + 8.0f + CONNECT_RADIUS, y};
        return 2;
    }
    if (forward)
        *forward = ConnectPoint{mid, y};
    return 1;
}

bool connect_in_circle(float x, float y, ConnectPoint c, float radius)
{
    float dx = x - c.x, dy = y - c.y;
    return dx * dx + dy * dy <= radius * radius;
}

bool connect_on_bar(float x, float y)
{
    return connect_in_circle(x, y, ConnectPoint{CONNECT_RADIUS, CONNECT_RADIUS}, CONNECT_RADIUS) ||
           connect_in_circle(x, y, ConnectPoint{CONNECT_BAR_END_X, CONNECT_RADIUS}, CONNECT_RADIUS) ||
           (x >= CONNECT_RADIUS && x <= CONNECT_BAR_END_X && y >= 0.0f && y <= CONNECT_BAR_H);
}

ConnectForward connect_forward_click(int panel_mode, bool password_empty, bool connected, int link_state)
{
    if (panel_mode == 2)
        return FORWARD_SERVER_LIST;
    if (panel_mode == 3)
        return password_empty ? FORWARD_NOTHING : FORWARD_UNLOCK;
    if (!connected)
        return FORWARD_CONNECT;
    if (link_state == LINK_STATE_PASSWORD)
        return FORWARD_SHOW_UNLOCK;
    if (link_state == LINK_STATE_NO_VIDEO)
        return FORWARD_SHOW_NO_VIDEO;
    return FORWARD_NOTHING;
}

namespace {

// Appends text to out[*len], keeping one byte for the terminator.
void append(char *out, size_t cap, size_t *len, const char *text, size_t text_cap)
{
    size_t n = strnlen(text, text_cap);
    size_t room = cap - 1 - *len;
    n = std::min(n, room);
    std::memcpy(out + *len, text, n);
    *len += n;
    out[*len] = 0;
}

} // namespace

size_t connect_address_text(const DeviceRecord &rec, char *out, size_t cap)
{
    if (!out || cap == 0)
        return 0;
    out[0] = 0;
    char text[INET6_ADDRSTRLEN] = {};
    const char *ok = nullptr;
    if (rec.address.sa.sa_family == AF_INET)
        ok = inet_ntop(AF_INET, &rec.address.in4.sin_addr, text, sizeof text);
    else if (rec.address.sa.sa_family == AF_INET6)
        ok = inet_ntop(AF_INET6, &rec.address.in6.sin6_addr, text, sizeof text);
    if (!ok)
        return 0;
    size_t len = 0;
    append(out, cap, &len, text, sizeof text);
    return len;
}

size_t connect_label(const DeviceRecord &rec, char *out, size_t cap)
{
    if (!out || cap == 0)
        return 0;
    out[0] = 0;
    size_t len = 0;
    append(out, cap, &len, rec.name, sizeof rec.name);
    if (rec.usb) {
        append(out, cap, &len, " (USB ", 7);
        append(out, cap, &len, rec.label, sizeof rec.label);
    } else {
        char addr[INET6_ADDRSTRLEN];
        connect_address_text(rec, addr, sizeof addr);
        append(out, cap, &len, " (", 3);
        append(out, cap, &len, addr, sizeof addr);
    }
    append(out, cap, &len, ")", 2);
    return len;
}

int connect_address_record(const char *text, DeviceRecord *out)
{
    if (!text || !out || !text[0])
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *res = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &res) != 0 || !res)
        return -1;
    DeviceAddress first{};
    if (res->ai_addr && res->ai_addrlen <= sizeof first)
        std::memcpy(&first, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (first.sa.sa_family != AF_INET || first.in4.sin_addr.s_addr == 0)
        return -1;

    std::memset(out, 0, sizeof *out);
    out->address.in4.sin_family = AF_INET;
    out->address.in4.sin_addr = first.in4.sin_addr;
    out->address.in4.sin_port = htons(DEVICE_STREAM_PORT);
    std::memcpy(out->id, CONNECT_FIXED_ID, sizeof CONNECT_FIXED_ID);
    size_t n = strnlen(text, sizeof out->name - 1);
    std::memcpy(out->name, text, n);
    return 0;
}

int connect_list_rows(size_t n)
{
    return (int)std::clamp<size_t>(n, 1, CONNECT_LIST_ROWS);
}

float connect_list_content_height(size_t n)
{
    return (float)std::max<size_t>(n, 1) * CONNECT_ROW_H;
}

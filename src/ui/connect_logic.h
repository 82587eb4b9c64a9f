// The rules of the connection screen that need neither GL nor Dear ImGui:
// its geometry, what a click on the forward button does, how found dongles
// are labelled, and what an address typed into the editor becomes. The view
// (ui/connect_view.h) draws with these; tests check them directly.
//
// All functions are pure (connect_address_record asks the system's address
// parser, nothing else) and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_record.h"

// Geometry in Dear ImGui display units.
inline constexpr float CONNECT_PANEL_W = 390.0f;
inline constexpr float CONNECT_PANEL_H = 163.0f;
inline constexpr float CONNECT_BAR_H = 57.0f;
inline constexpr float CONNECT_RADIUS = 28.5f;          // bar rounding, button radius
inline constexpr float CONNECT_OUTLINE_RADIUS = 28.0f;
inline constexpr float CONNECT_TITLE_GAP = 27.0f;
inline constexpr float CONNECT_LABEL_X = 62.0f;
inline constexpr float CONNECT_LABEL_Y = 19.0f;
inline constexpr float CONNECT_EDITOR_W = 204.0f;
inline constexpr float CONNECT_ROW_H = 57.0f;
inline constexpr float CONNECT_ROW_W = 328.0f;
inline constexpr float CONNECT_LIST_OFFSET = 60.0f;
inline constexpr int CONNECT_LIST_ROWS = 3;
// The far end of the bar's straight part: the chevron's circle.
inline constexpr float CONNECT_BAR_END_X = 299.5f;

inline constexpr char CONNECT_TITLE[] = "Connect to KAVRI Viewer";
inline constexpr char CONNECT_HINT[] = "Enter server address or scan the network.";
inline constexpr char UNLOCK_TITLE[] = "UNLOCK";
inline constexpr char NO_VIDEO_TITLE[] = "No Video Output";
inline constexpr char NO_VIDEO_TEXT[] = "Please check if HDMI connects";
// Identity of a dongle typed in by address.
inline constexpr char CONNECT_FIXED_ID[] = "fixed_ip";

struct ConnectPoint {
    float x, y;
};

// The panel's top-left corner for a main viewport of w x h.
ConnectPoint connect_panel_origin(float w, float h);

// Centres of the action buttons for a panel at q of size s. Panel mode 3
// (unlock) has a back button left of centre and the forward button right of
// it; the other modes have only the forward button, centred. Returns the
// number of buttons (1 or 2); *back is set only when there are two.
int connect_action_buttons(int panel_mode, ConnectPoint q, ConnectPoint s, ConnectPoint *forward,
                           ConnectPoint *back);

// Whether (x, y), relative to the panel, lies on the address bar: within the
// radius of either end circle's centre or inside the straight part between.
bool connect_on_bar(float x, float y);
// Whether (x, y) lies within the radius of the point c.
bool connect_in_circle(float x, float y, ConnectPoint c, float radius);

enum ConnectForward {
    FORWARD_NOTHING,
    FORWARD_SERVER_LIST,  // panel mode <- 1
    FORWARD_UNLOCK,       // hand the password to the link
    FORWARD_CONNECT,      // connect to the current target
    FORWARD_SHOW_UNLOCK,  // panel mode <- 3
    FORWARD_SHOW_NO_VIDEO // panel mode <- 2
};

// What a click on the forward button does, tested in this order: from the
// no-video panel back to the list; on the unlock panel the password is sent
// (nothing with an empty one); while not connected, connect; while connected
// and locked show the unlock panel, connected without video the no-video one.
ConnectForward connect_forward_click(int panel_mode, bool password_empty, bool connected, int link_state);

// The row label of a found dongle: "name (address)" for one on the network,
// "name (USB label)" for one on USB. Device-supplied texts are copied, never
// used as formats. Always zero-terminates a non-empty buffer; returns the
// label's length (it may be cut to cap - 1).
size_t connect_label(const DeviceRecord &rec, char *out, size_t cap);

// The record's address as text (IPv4 dotted, IPv6 without brackets or port),
// at most cap - 1 characters; empty for other families.
size_t connect_address_text(const DeviceRecord &rec, char *out, size_t cap);

// What an address typed into the editor becomes. The text is parsed as a
// numeric address only: the editor admits digits, points and signs, and a
// string of those that is no address would otherwise go to name servers from
// the UI thread and stall the window. Returns 0 and fills *out (all zero but
// the IPv4 address with the stream port, `id` "fixed_ip" and `name` the typed
// text, cut to 127 characters) when the first result is a non-zero IPv4
// address; -1 otherwise (no address, 0.0.0.0, IPv6).
int connect_address_record(const char *text, DeviceRecord *out);

// Rows the server list pop-up shows for n found dongles (1 to 3) and the
// height of its content (n rows, at least one), which scrolls beyond three.
int connect_list_rows(size_t n);
float connect_list_content_height(size_t n);

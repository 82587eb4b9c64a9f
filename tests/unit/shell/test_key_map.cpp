// SDL scancodes to the user interface's key indices.
#include <gtest/gtest.h>

#include <SDL.h>
#include <imgui.h>

#include <set>

#include "shell/key_map.h"

namespace {

// One row per PC keyboard scan code (set 1; extended keys as 0x100 plus the
// code), the SDL scancode of the same physical key, and the key it must give.
struct Row {
    int pc_code;
    SDL_Scancode sdl;
    int key;
};

const Row ROWS[] = {
    // 0x02-0x0A, 0x0B: digits 1-9, 0
    {0x02, SDL_SCANCODE_1, UIKEY_1}, {0x03, SDL_SCANCODE_2, UIKEY_2},
    {0x04, SDL_SCANCODE_3, UIKEY_3}, {0x05, SDL_SCANCODE_4, UIKEY_4},
    {0x06, SDL_SCANCODE_5, UIKEY_5}, {0x07, SDL_SCANCODE_6, UIKEY_6},
    {0x08, SDL_SCANCODE_7, UIKEY_7}, {0x09, SDL_SCANCODE_8, UIKEY_8},
    {0x0A, SDL_SCANCODE_9, UIKEY_9}, {0x0B, SDL_SCANCODE_0, UIKEY_0},
    // 0x10-0x19: Q to P
    {0x10, SDL_SCANCODE_Q, UIKEY_Q}, {0x11, SDL_SCANCODE_W, UIKEY_W},
    {0x12, SDL_SCANCODE_E, UIKEY_E}, {0x13, SDL_SCANCODE_R, UIKEY_R},
    {0x14, SDL_SCANCODE_T, UIKEY_T}, {0x15, SDL_SCANCODE_Y, UIKEY_Y},
    {0x16, SDL_SCANCODE_U, UIKEY_U}, {0x17, SDL_SCANCODE_I, UIKEY_I},
    {0x18, SDL_SCANCODE_O, UIKEY_O}, {0x19, SDL_SCANCODE_P, UIKEY_P},
    // 0x1E-0x26: A to L
    {0x1E, SDL_SCANCODE_A, UIKEY_A}, {0x1F, SDL_SCANCODE_S, UIKEY_S},
    {0x20, SDL_SCANCODE_D, UIKEY_D}, {0x21, SDL_SCANCODE_F, UIKEY_F},
    {0x22, SDL_SCANCODE_G, UIKEY_G}, {0x23, SDL_SCANCODE_H, UIKEY_H},
    {0x24, SDL_SCANCODE_J, UIKEY_J}, {0x25, SDL_SCANCODE_K, UIKEY_K},
    {0x26, SDL_SCANCODE_L, UIKEY_L},
    // 0x2C-0x32: Z to M
    {0x2C, SDL_SCANCODE_Z, UIKEY_Z}, {0x2D, SDL_SCANCODE_X, UIKEY_X},
    {0x2E, SDL_SCANCODE_C, UIKEY_C}, {0x2F, SDL_SCANCODE_V, UIKEY_V},
    {0x30, SDL_SCANCODE_B, UIKEY_B}, {0x31, SDL_SCANCODE_N, UIKEY_N},
    {0x32, SDL_SCANCODE_M, UIKEY_M},
    // 0x3B-0x44, 0x57, 0x58: F1-F10, F11, F12
    {0x3B, SDL_SCANCODE_F1, UIKEY_F1}, {0x3C, SDL_SCANCODE_F2, UIKEY_F2},
    {0x3D, SDL_SCANCODE_F3, UIKEY_F3}, {0x3E, SDL_SCANCODE_F4, UIKEY_F4},
    {0x3F, SDL_SCANCODE_F5, UIKEY_F5}, {0x40, SDL_SCANCODE_F6, UIKEY_F6},
    {0x41, SDL_SCANCODE_F7, UIKEY_F7}, {0x42, SDL_SCANCODE_F8, UIKEY_F8},
    {0x43, SDL_SCANCODE_F9, UIKEY_F9}, {0x44, SDL_SCANCODE_F10, UIKEY_F10},
    {0x57, SDL_SCANCODE_F11, UIKEY_F11}, {0x58, SDL_SCANCODE_F12, UIKEY_F12},
    // Escape, Backspace, Tab, Enter, Space, Caps Lock
    {0x01, SDL_SCANCODE_ESCAPE, UIKEY_ESCAPE},
    {0x0E, SDL_SCANCODE_BACKSPACE, UIKEY_BACKSPACE},
    {0x0F, SDL_SCANCODE_TAB, UIKEY_TAB},
    {0x1C, SDL_SCANCODE_RETURN, UIKEY_ENTER},
    {0x39, SDL_SCANCODE_SPACE, UIKEY_SPACE},
    {0x3A, SDL_SCANCODE_CAPSLOCK, UIKEY_CAPS_LOCK},
    // Punctuation
    {0x0C, SDL_SCANCODE_MINUS, UIKEY_MINUS},
    {0x0D, SDL_SCANCODE_EQUALS, UIKEY_EQUAL},
    {0x1A, SDL_SCANCODE_LEFTBRACKET, UIKEY_LEFT_BRACKET},
    {0x1B, SDL_SCANCODE_RIGHTBRACKET, UIKEY_RIGHT_BRACKET},
    {0x27, SDL_SCANCODE_SEMICOLON, UIKEY_SEMICOLON},
    {0x28, SDL_SCANCODE_APOSTROPHE, UIKEY_APOSTROPHE},
    {0x29, SDL_SCANCODE_GRAVE, UIKEY_GRAVE_ACCENT},
    {0x2B, SDL_SCANCODE_BACKSLASH, UIKEY_BACKSLASH},
    {0x33, SDL_SCANCODE_COMMA, UIKEY_COMMA},
    {0x34, SDL_SCANCODE_PERIOD, UIKEY_PERIOD},
    {0x35, SDL_SCANCODE_SLASH, UIKEY_SLASH},
    // 0x56: the extra key of ISO keyboards
    {0x56, SDL_SCANCODE_NONUSBACKSLASH, UIKEY_BACKSLASH},
    // Left and right modifiers
    {0x1D, SDL_SCANCODE_LCTRL, UIKEY_LEFT_CTRL},
    {0x2A, SDL_SCANCODE_LSHIFT, UIKEY_LEFT_SHIFT},
    {0x38, SDL_SCANCODE_LALT, UIKEY_LEFT_ALT},
    {0x15B, SDL_SCANCODE_LGUI, UIKEY_LEFT_SUPER},
    {0x11D, SDL_SCANCODE_RCTRL, UIKEY_RIGHT_CTRL},
    {0x36, SDL_SCANCODE_RSHIFT, UIKEY_RIGHT_SHIFT},
    {0x138, SDL_SCANCODE_RALT, UIKEY_RIGHT_ALT},
    {0x15C, SDL_SCANCODE_RGUI, UIKEY_RIGHT_SUPER},
    // Menu
    {0x15D, SDL_SCANCODE_APPLICATION, UIKEY_MENU},
    // Pause, Scroll Lock, Print Screen, Num Lock
    {0x45, SDL_SCANCODE_PAUSE, UIKEY_PAUSE},
    {0x46, SDL_SCANCODE_SCROLLLOCK, UIKEY_SCROLL_LOCK},
    {0x137, SDL_SCANCODE_PRINTSCREEN, UIKEY_PRINT_SCREEN},
    {0x145, SDL_SCANCODE_NUMLOCKCLEAR, UIKEY_NUM_LOCK},
    // Home, End, Page Up, Page Down, Insert, Delete
    {0x147, SDL_SCANCODE_HOME, UIKEY_HOME},
    {0x14F, SDL_SCANCODE_END, UIKEY_END},
    {0x149, SDL_SCANCODE_PAGEUP, UIKEY_PAGE_UP},
    {0x151, SDL_SCANCODE_PAGEDOWN, UIKEY_PAGE_DOWN},
    {0x152, SDL_SCANCODE_INSERT, UIKEY_INSERT},
    {0x153, SDL_SCANCODE_DELETE, UIKEY_DELETE},
    // Arrows
    {0x148, SDL_SCANCODE_UP, UIKEY_UP_ARROW},
    {0x150, SDL_SCANCODE_DOWN, UIKEY_DOWN_ARROW},
    {0x14B, SDL_SCANCODE_LEFT, UIKEY_LEFT_ARROW},
    {0x14D, SDL_SCANCODE_RIGHT, UIKEY_RIGHT_ARROW},
    // Keypad 0-9
    {0x52, SDL_SCANCODE_KP_0, UIKEY_KEYPAD_0}, {0x4F, SDL_SCANCODE_KP_1, UIKEY_KEYPAD_1},
    {0x50, SDL_SCANCODE_KP_2, UIKEY_KEYPAD_2}, {0x51, SDL_SCANCODE_KP_3, UIKEY_KEYPAD_3},
    {0x4B, SDL_SCANCODE_KP_4, UIKEY_KEYPAD_4}, {0x4C, SDL_SCANCODE_KP_5, UIKEY_KEYPAD_5},
    {0x4D, SDL_SCANCODE_KP_6, UIKEY_KEYPAD_6}, {0x47, SDL_SCANCODE_KP_7, UIKEY_KEYPAD_7},
    {0x48, SDL_SCANCODE_KP_8, UIKEY_KEYPAD_8}, {0x49, SDL_SCANCODE_KP_9, UIKEY_KEYPAD_9},
    // Keypad decimal, divide, multiply, subtract, add, Enter
    {0x53, SDL_SCANCODE_KP_PERIOD, UIKEY_KEYPAD_DECIMAL},
    {0x135, SDL_SCANCODE_KP_DIVIDE, UIKEY_KEYPAD_DIVIDE},
    {0x37, SDL_SCANCODE_KP_MULTIPLY, UIKEY_KEYPAD_MULTIPLY},
    {0x4A, SDL_SCANCODE_KP_MINUS, UIKEY_KEYPAD_SUBTRACT},
    {0x4E, SDL_SCANCODE_KP_PLUS, UIKEY_KEYPAD_ADD},
    {0x11C, SDL_SCANCODE_KP_ENTER, UIKEY_KEYPAD_ENTER},
};

} // namespace

TEST(KeyMapTable, EveryPcScanCodeRowMapsToItsKey)
{
    for (const Row &r : ROWS)
        EXPECT_EQ(key_map_from_sdl(r.sdl), r.key)
            << "PC code 0x" << std::hex << r.pc_code << ", SDL scancode " << std::dec << r.sdl;
    // The ISO key left of Enter: the PC keyboard reports it with the US
    // backslash's scan code, 0x2B.
    EXPECT_EQ(key_map_from_sdl(SDL_SCANCODE_NONUSHASH), UIKEY_BACKSLASH);
}

TEST(KeyMapTable, RowsCoverEveryKeyOnceExceptTheTwoBackslashes)
{
    // 105 scan codes, 104 keys: only the ISO extra key shares a key.
    EXPECT_EQ(sizeof ROWS / sizeof ROWS[0], 105u);
    std::set<int> codes, keys;
    for (const Row &r : ROWS) {
        EXPECT_TRUE(codes.insert(r.pc_code).second) << std::hex << r.pc_code;
        keys.insert(r.key);
    }
    EXPECT_EQ(keys.size(), (size_t)(UIKEY_COUNT - 1));
    EXPECT_EQ(keys.count(UIKEY_NONE), 0u);
}

TEST(KeyMapTable, KeysWithoutAMappingAndOutOfRangeScancodesGiveNone)
{
    const int unmapped[] = {SDL_SCANCODE_UNKNOWN, SDL_SCANCODE_KP_EQUALS, SDL_SCANCODE_F13,
                            SDL_SCANCODE_F24, SDL_SCANCODE_MUTE, SDL_SCANCODE_MENU,
                            SDL_SCANCODE_AUDIONEXT, SDL_SCANCODE_SYSREQ, SDL_SCANCODE_KP_00};
    for (int s : unmapped)
        EXPECT_EQ(key_map_from_sdl(s), UIKEY_NONE) << s;
    int mapped = 0;
    for (int s = 0; s < SDL_NUM_SCANCODES; s++)
        mapped += key_map_from_sdl(s) != UIKEY_NONE;
    EXPECT_EQ(mapped, 106);   // the 105 rows and the ISO key left of Enter

    // Out of range.
    EXPECT_EQ(key_map_from_sdl(-1), UIKEY_NONE);
    EXPECT_EQ(key_map_from_sdl(SDL_NUM_SCANCODES), UIKEY_NONE);
    EXPECT_EQ(key_map_from_sdl(0x7FFFFFFF), UIKEY_NONE);
    EXPECT_EQ(key_map_from_sdl(-0x7FFFFFFF - 1), UIKEY_NONE);
}

TEST(KeyMapTable, IndicesFitDearImGuisKeyArray)
{
    ImGuiIO *io = nullptr;
    EXPECT_LE((size_t)UIKEY_COUNT, sizeof io->KeysDown / sizeof io->KeysDown[0]);
}

TEST(KeyMapMouse, SdlButtonsToDearImGuiButtons)
{
    EXPECT_EQ(key_map_mouse_button(1), 0);   // left
    EXPECT_EQ(key_map_mouse_button(3), 1);   // right
    EXPECT_EQ(key_map_mouse_button(2), 2);   // middle
    EXPECT_EQ(key_map_mouse_button(4), 3);   // first side button
    EXPECT_EQ(key_map_mouse_button(5), 4);   // second side button
    EXPECT_EQ(key_map_mouse_button(0), -1);
    EXPECT_EQ(key_map_mouse_button(6), -1);
    EXPECT_EQ(key_map_mouse_button(-1), -1);
}

TEST(KeyMapInstall, DearImGuiFindsItsNamedKeys)
{
    ImGuiContext *ctx = ImGui::CreateContext();
    ImGuiIO &io = ImGui::GetIO();
    io.IniFilename = nullptr;
    key_map_install(io);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Tab], UIKEY_TAB);
    EXPECT_EQ(io.KeyMap[ImGuiKey_LeftArrow], UIKEY_LEFT_ARROW);
    EXPECT_EQ(io.KeyMap[ImGuiKey_RightArrow], UIKEY_RIGHT_ARROW);
    EXPECT_EQ(io.KeyMap[ImGuiKey_UpArrow], UIKEY_UP_ARROW);
    EXPECT_EQ(io.KeyMap[ImGuiKey_DownArrow], UIKEY_DOWN_ARROW);
    EXPECT_EQ(io.KeyMap[ImGuiKey_PageUp], UIKEY_PAGE_UP);
    EXPECT_EQ(io.KeyMap[ImGuiKey_PageDown], UIKEY_PAGE_DOWN);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Home], UIKEY_HOME);
    EXPECT_EQ(io.KeyMap[ImGuiKey_End], UIKEY_END);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Insert], UIKEY_INSERT);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Delete], UIKEY_DELETE);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Backspace], UIKEY_BACKSPACE);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Space], UIKEY_SPACE);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Enter], UIKEY_ENTER);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Escape], UIKEY_ESCAPE);
    EXPECT_EQ(io.KeyMap[ImGuiKey_KeyPadEnter], UIKEY_KEYPAD_ENTER);
    EXPECT_EQ(io.KeyMap[ImGuiKey_A], UIKEY_A);
    EXPECT_EQ(io.KeyMap[ImGuiKey_C], UIKEY_C);
    EXPECT_EQ(io.KeyMap[ImGuiKey_V], UIKEY_V);
    EXPECT_EQ(io.KeyMap[ImGuiKey_X], UIKEY_X);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Y], UIKEY_Y);
    EXPECT_EQ(io.KeyMap[ImGuiKey_Z], UIKEY_Z);
    for (int n = 0; n < ImGuiKey_COUNT; n++)
        EXPECT_GT(io.KeyMap[n], UIKEY_NONE) << n;
    ImGui::DestroyContext(ctx);
}

TEST(KeyMapInstall, PressedEnterReachesDearImGuiThroughTheMap)
{
    ImGuiContext *ctx = ImGui::CreateContext();
    ImGuiIO &io = ImGui::GetIO();
    io.IniFilename = nullptr;
    key_map_install(io);
    io.DisplaySize = ImVec2(640, 480);
    io.DeltaTime = 1.0f / 60.0f;
    unsigned char *pixels = nullptr;
    int w = 0, h = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    io.KeysDown[key_map_from_sdl(SDL_SCANCODE_RETURN)] = true;
    ImGui::NewFrame();
    EXPECT_TRUE(ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Enter)));
    EXPECT_FALSE(ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape)));
    ImGui::EndFrame();
    ImGui::DestroyContext(ctx);
}

// SDL scancodes to the user interface's key indices.
#include <gtest/gtest.h>

#include <SDL.h>
#include <imgui.h>

#include <set>

#include "shell/key_map.h"

TEST(KeyMap, EveryKeyIsReachedAndDearImGuisNamedKeysAgreeWithSdl)
{
    // 106 SDL scancodes reach every key once, but for the two backslashes:
    // the ISO key left of Enter and the ISO extra key share the backslash.
    std::set<int> keys;
    int mapped = 0;
    for (int s = 0; s < SDL_NUM_SCANCODES; s++)
        if (int k = key_map_from_sdl(s); k != UIKEY_NONE)
            mapped++, keys.insert(k);
    EXPECT_EQ(mapped, 106);
    EXPECT_EQ(keys.size(), (size_t)(UIKEY_COUNT - 1));
    EXPECT_EQ(key_map_from_sdl(SDL_SCANCODE_NONUSHASH), UIKEY_BACKSLASH);
    EXPECT_EQ(key_map_from_sdl(SDL_SCANCODE_NONUSBACKSLASH), UIKEY_BACKSLASH);
    for (int s : {(int)SDL_SCANCODE_UNKNOWN, (int)SDL_SCANCODE_F13, (int)SDL_SCANCODE_MUTE, -1, (int)SDL_NUM_SCANCODES,
                  0x7FFFFFFF, -0x7FFFFFFF - 1})
        EXPECT_EQ(key_map_from_sdl(s), UIKEY_NONE) << s;
    ImGuiIO *none = nullptr;
    EXPECT_LE((size_t)UIKEY_COUNT, sizeof none->KeysDown / sizeof none->KeysDown[0]);

    ImGuiContext *ctx = ImGui::CreateContext();
    ImGuiIO &io = ImGui::GetIO();
    io.IniFilename = nullptr;
    key_map_install(io);
    const std::pair<int, SDL_Scancode> named[] = {
        {ImGuiKey_Tab, SDL_SCANCODE_TAB}, {ImGuiKey_LeftArrow, SDL_SCANCODE_LEFT}, {ImGuiKey_PageUp, SDL_SCANCODE_PAGEUP},
        {ImGuiKey_Home, SDL_SCANCODE_HOME}, {ImGuiKey_Delete, SDL_SCANCODE_DELETE}, {ImGuiKey_Backspace, SDL_SCANCODE_BACKSPACE},
        {ImGuiKey_Enter, SDL_SCANCODE_RETURN}, {ImGuiKey_Escape, SDL_SCANCODE_ESCAPE},
        {ImGuiKey_KeyPadEnter, SDL_SCANCODE_KP_ENTER}, {ImGuiKey_A, SDL_SCANCODE_A}, {ImGuiKey_Z, SDL_SCANCODE_Z}};
    for (auto [imgui, sdl] : named)
        EXPECT_EQ(io.KeyMap[imgui], key_map_from_sdl(sdl)) << imgui;
    for (int n = 0; n < ImGuiKey_COUNT; n++)
        EXPECT_GT(io.KeyMap[n], UIKEY_NONE) << n;
    // A pressed Enter reaches Dear ImGui through the map.
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

    // SDL mouse buttons to Dear ImGui's: left, right, middle, the side buttons.
    const int buttons[][2] = {{1, 0}, {3, 1}, {2, 2}, {4, 3}, {5, 4}, {0, -1}, {6, -1}, {-1, -1}};
    for (const auto &b : buttons)
        EXPECT_EQ(key_map_mouse_button(b[0]), b[1]) << b[0];
}

// The fixed texts of the About window: the licences of the libraries the
// viewer is built on, the release notes and the update instructions.
#pragma once

#include <cstddef>
#include <cstdio>

inline constexpr char ABOUT_TITLE_FALLBACK[] = "v1.1.0.2 License & Credit";

// The window title for a version text (null: the fixed fallback title).
inline void about_title(const char *version, char *out, size_t cap)
{
    if (!version)
        std::snprintf(out, cap, "%s", ABOUT_TITLE_FALLBACK);
    else
        std::snprintf(out, cap, "v%s License & Credit", version);
}

inline constexpr char ABOUT_IMGUI_LICENSE[] =
    "The MIT License (MIT)\n"
    "\n"
    "Copyright (c) 2014-2021 Omar Cornut\n"
    "\n"
    "Permission is hereby granted, free of charge, to any person obtaining a copy\n"
    "of this software and associated documentation files (the \"Software\"), to deal\n"
    "in the Software without restriction, including without limitation the rights\n"
    "to use, copy, modify, merge, publish, distribute, sublicense, and/or sell\n"
    "copies of the Software, and to permit persons to whom the Software is\n"
    "furnished to do so, subject to the following conditions:\n"
    "\n"
    "The above copyright notice and this permission notice shall be included in all\n"
    "copies or substantial portions of the Software.\n"
    "\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR\n"
    "IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,\n"
    "FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE\n"
    "AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER\n"
    "LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,\n"
    "OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE\n"
    "SOFTWARE.\n";

// SDL2 takes the place of the windowing library in this build; its licence
// is the zlib licence.
inline constexpr char ABOUT_SDL_LICENSE[] =
    "Simple DirectMedia Layer\n"
    "Copyright (C) 1997-2022 Sam Lantinga <slouken@libsdl.org>\n"
    "\n"
    "This software is provided 'as-is', without any express or implied\n"
    "warranty.  In no event will the authors be held liable for any damages\n"
    "arising from the use of this software.\n"
    "\n"
    "Permission is granted to anyone to use this software for any purpose,\n"
    "including commercial applications, and to alter it and redistribute it\n"
    "freely, subject to the following restrictions:\n"
    "\n"
    "1. The origin of this software must not be misrepresented; you must not\n"
    "   claim that you wrote the original software. If you use this software\n"
    "   in a product, an acknowledgment in the product documentation would be\n"
    "   appreciated but is not required.\n"
    "2. Altered source versions must be plainly marked as such, and must not be\n"
    "   misrepresented as being the original software.\n"
    "3. This notice may not be removed or altered from any source distribution.\n";

inline constexpr char ABOUT_FFMPEG_TITLE[] = "GNU LESSER GENERAL PUBLIC LICENSE\n\n";
inline constexpr char ABOUT_LGPL_URL[] = "https://www.gnu.org/licenses/old-licenses/lgpl-2.1.html";

inline constexpr char ABOUT_RELEASE_NOTES[] =
    "\n"
    "v1.1.0.2\n"
    "* Allow to change USB HID mode in Settings.\n"
    "\n"
    "v1.1.0.1\n"
    "* Fix subnet scanning support\n"
    "\n"
    "v1.1.0.0\n"
    "* Support v2 protocol to improve performance\n"
    "\n"
    "v1.0.9.0\n"
    "* Fix the bug that the app could not render correct image\n"
    "* Release mouse if the app disconnects from KAVRI Viewer\n"
    "\n"
    "v1.0.8.0\n"
    "* Fix crash issue\n"
    "* Support firmware update over network\n"
    "* Improve scanning speed\n"
    "\n"
    "v1.0.7.0\n"
    "* Fix render issue with some decoders\n"
    "\n"
    "v1.0.6.0\n"
    "* Optimize firmware updater\n"
    "\n"
    "v1.0.5.0\n"
    "* Fix cursor behaviors\n"
    "* Add tip when enabling input\n"
    "\n"
    "v1.0.4.0\n"
    "* Fix mouse scroll direction\n"
    "* Add firewall exceptions in installer\n"
    "* Optimize keyboard/mouse behavior\n"
    "\n"
    "v1.0.3.0\n"
    "* Support different subnet scanning\n"
    "\n"
    "v1.0.2.0\n"
    "* Support online update\n"
    "\n"
    "v1.0.1.0\n"
    "* Support USB Stream Mode\n"
    "\n"
    "v1.0.0.0\n"
    "* First version\n";

inline constexpr char ABOUT_UPDATE_TEXT[] =
    "Update Firmware with USB cable\n"
    "    1. Unplug KAVRI Viewer if it runs under USB Stream mode.\n\n"
    "    2. Plug KAVRI Viewer, DO NOT switch the device to USB Stream Mode.\n\n"
    "    3. Click the following button to check latest firmware.\n\n"
    "Update Firmware over Wi-Fi\n"
    "    1. Make sure KAVRI Viewer and this computer are in same network.\n"
    "        a) Connect Wi-Fi to hotspot of KAVRI Viewer\n"
    "        b) Use mobile device to bridge KAVRI Viewer to the router which this computer connects to.\n\n"
    "    2. Click the following button to check latest firmware.\n";

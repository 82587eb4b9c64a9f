// Screenshots: a copy of the last decoded picture at its own size, turned
// into RGB exactly as the video view's shader does it (the same BT.601
// coefficients, chroma sampled between its texels as the GL_LINEAR textures
// do when the picture is drawn at its own size, rounding to 8 bits as the
// framebuffer does), and written as PNG. Pure apart from the file; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct YuvPicture {
    int width = 0, height = 0;  // visible size
    int strides[3] = {0, 0, 0}; // plane 0 holds `height` rows, planes 1 and 2 (height + 1) / 2
    std::vector<uint8_t> planes[3];
};

// Fills rgb (width * height * 3 bytes, rows top to bottom). Returns -1 when
// the picture is empty or its planes are too small for its size.
int screenshot_to_rgb(const YuvPicture *p, std::vector<uint8_t> *rgb);

// Converts and writes a PNG file. Returns 0, or -1.
int screenshot_write_png(const YuvPicture *p, const char *path);

// The folder screenshots and recordings go to: "KAVRI" inside the user's
// pictures folder, which is XDG_PICTURES_DIR of
// $XDG_CONFIG_HOME/user-dirs.dirs (~/.config when unset), as xdg-user-dir
// reads it, else ~/Pictures (also when the entry names the home folder
// itself). Empty when there is no home folder.
std::string screenshot_folder(void);

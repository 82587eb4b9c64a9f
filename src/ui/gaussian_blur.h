// GaussianBlurRender: the blurred photo behind the connection screen.
//
// The photo is shrunk 2^(level / 25) times in each direction into an
// off-screen texture (16 times at level 100), blurred horizontally and then
// vertically with a Gaussian kernel (sigma 3, radius = level taps) in two more
// off-screen passes, and the result is stretched over the whole window. The
// small copy keeps the wide kernel cheap: 256 x 194 pixels per pass for the
// 4096 x 3112 photo.
//
// Threads and ownership:
// - Every member runs on the UI thread with the GL context current and gl_api
//   loaded (ui/gl_helpers.h). The constructor makes no GL call; create_programs
//   builds the two programs and the quad buffer; the first render that blurs
//   creates the framebuffer object and the three textures. The destructor
//   deletes all of them, so the context must still be current when the owner
//   (the connection screen) destroys the object.
// - The source texture passed to render stays the caller's; the object owns
//   only its programs, quad buffer, framebuffer and textures T1 to T3.
//
// render is meant to run inside a Dear ImGui draw callback. It changes the
// framebuffer binding, viewport, scissor/blend/depth/cull switches, the bound
// program, buffer and texture on unit 0; attribute arrays 0 and 1 are left
// disabled and the buffer and program unbound, and the caller follows it with
// the backend's reset-render-state callback, which restores the rest.
//
// Context: 2.1 or newer. Without framebuffer objects (a 2.x context, whose 3.0
// entries in gl_api are null) no blur is possible and the photo is drawn
// sharp. The decisions render takes are the pure gaussian_blur_plan, so they
// are tested without GL.
#pragma once

#include <GL/gl.h>

// Shrunk size of a width x height source at a blur level: both sides divided
// by f = 2^((level / 100) * 4) in single precision and truncated (4096 x 3112
// at level 100 gives 256 x 194; level 0 keeps the source size). Returns 0, or
// -1 with 0 x 0 when a side is negative or the result does not fit an int.
// Either output may be null.
int gaussian_blur_shrunk_size(int level, int width, int height, int *out_w, int *out_h);

// The full-screen quad: six vertices (two triangles) of x, y, z, u, v, 30
// floats in all (120 bytes). v runs downwards (v = 0 at the top, y = 1), so a
// pass that draws it flips the picture vertically.
const float *gaussian_blur_quad(void);
enum { GAUSSIAN_BLUR_QUAD_FLOATS = 30, GAUSSIAN_BLUR_QUAD_VERTICES = 6 };

// The kernel weight of tap i as the blur shader computes it (in double here):
// 1 / (pi * 2 sigma^2) * exp(-i^2 / (2 sigma^2)), sigma 3. The shader divides
// by the sum of the weights it used, so only their ratios matter.
double gaussian_blur_weight(int i);

// What one render does, decided from plain values.
struct GaussianBlurPlan {
    bool passes;                     // run the three off-screen passes into T1..T3
    bool recreate;                   // re-create T1..T3 at the shrunk size first
    int shrunk_width, shrunk_height; // size T1..T3 have after this render
};

// Passes run only when the level is above 0, a blur program exists, the
// context has framebuffer objects and the shrunk size is at least 1 x 1;
// otherwise the source is drawn as it is and the textures stay as they were.
// stored_w x stored_h is the size of the textures that exist (0 x 0 before
// the first blur); they are re-created only when the shrunk size differs.
void gaussian_blur_plan(int level, int width, int height, int stored_w, int stored_h, bool have_framebuffers,
                        bool have_blur_program, GaussianBlurPlan *plan);

class GaussianBlurRender {
public:
    GaussianBlurRender() = default;
    virtual ~GaussianBlurRender();
    GaussianBlurRender(const GaussianBlurRender &) = delete;
    GaussianBlurRender &operator=(const GaussianBlurRender &) = delete;

    // Builds the plain and the blur program ("iPos" bound to 0, "iTex" to 1)
    // and generates the quad buffer, replacing any built before. Returns 0
    // when all three exist, -1 otherwise; a missing program only means less
    // is drawn (no blur without the blur program, nothing without the plain).
    int create_programs();

    void set_level(int level) { level_ = level; }
    void invalidate() { blurred_ = false; }
    int level() const { return level_; }

    // The window's framebuffer size in pixels; set before each render.
    void set_output_size(int width, int height)
    {
        output_width_ = width;
        output_height_ = height;
    }

    // Clears the window's default framebuffer to dark grey and draws the
    // source texture (width x height) blurred over all of it; sharp when no
    // blur runs (see gaussian_blur_plan), only the grey when texture is 0.
    // The blurred copy is kept and drawn again while source, size and level
    // stay the same; a source whose pixels change under the same texture name
    // must be followed by invalidate().
    virtual void render(GLuint texture, int width, int height);

    int shrunk_width() const { return shrunk_width_; }
    int shrunk_height() const { return shrunk_height_; }

private:
    // Returns false when the framebuffer is incomplete (nothing was drawn).
    bool offscreen_pass(int phase, GLuint source, GLuint target);
    void recreate_textures();
    void delete_textures();
    void draw_quad();

    GLuint plain_program_ = 0;
    GLuint blur_program_ = 0;
    GLuint quad_buffer_ = 0;
    GLuint framebuffer_ = 0;
    GLuint t1_ = 0, t2_ = 0, t3_ = 0;
    int level_ = 0;
    int output_width_ = 0, output_height_ = 0;
    int shrunk_width_ = 0, shrunk_height_ = 0;
    // What T3 holds: the blur of this source at this size and level.
    bool blurred_ = false;
    GLuint blurred_source_ = 0;
    int blurred_width_ = 0, blurred_height_ = 0, blurred_level_ = 0;
};

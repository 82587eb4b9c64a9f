// VideoView: shows the decoded video in the main window.
//
// The decoder thread hands every picture over through the frame listener; the
// view keeps one private copy of its three planes. Once per UI frame, before
// the user interface is drawn, render() uploads the newest copy into three
// single-channel textures and draws them as one quad through a YUV-to-RGB
// shader, scaled to fit the window and letterboxed on dark grey. Pictures that
// arrive faster than the UI draws overwrite the copy: the UI always shows the
// newest one and nothing queues.
//
// Threads and ownership:
// - The constructor, render() and the destructor run on the UI thread with the
//   GL context current and gl_api loaded (ui/gl_helpers.h).
// - set_video_size() and take_frame() (and the two listener adapters) run on
//   the decoder thread. They and render() meet under the view's lock; every GL
//   call stays on the UI thread.
// - The view owns its plane copies, textures and program. The link's listener
//   lists must stop calling before the view is destroyed (stop the link first).
//
// Context: a compatibility-profile context from 2.1 up, the one the UI
// backend's "#version 120" shaders run in. The planes go into GL_RED textures
// on a 3.0 or newer context and GL_LUMINANCE ones on 2.x; both hand the sample
// to the shader in the red channel, which is all it reads.
//
// The state behind the lock is a plain record with free functions
// (VideoPlanes, video_planes_*), so the hand-over rules are tested without GL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include <GL/gl.h>

#include "media/decoder.h"

// Where the picture lies in the window's client area, in pixels, origin top
// left. render() fills one each frame that draws video; the caller publishes
// it (AppState's video_rect) for mouse capture, which confines the pointer.
struct VideoArea {
    int32_t x, y, width, height;
};

// Fits a picture of pic_w x pic_h into an output of out_w x out_h, keeping its
// shape: s = min(out_w / pic_w, out_h / pic_h) in single precision, the drawn
// size is s x the picture size, centred; each rectangle value is truncated.
// *sx, *sy (either may be null) get the drawn size over the output size, the
// half-extent of the quad in clip space. Returns -1 (and leaves the outputs
// alone) when any size is below 1.
int video_fit(int out_w, int out_h, int pic_w, int pic_h, VideoArea *rect, float *sx, float *sy);

// The horizontal texture coordinate of the picture's right edge in a texture
// one stride wide: width / stride, at most 1 (a stride narrower than the
// picture shows the whole stride rather than sampling past it). 0 when either
// is below 1.
float video_tex_u(int width, int stride);

// Rows of plane 0 (luma) or of plane 1 or 2 (chroma, half height rounded up)
// for a picture height. 0 for a height below 1.
int video_plane_rows(int height, int plane);

// The picture store shared between the decoder thread and the UI thread. All
// fields are guarded by the owner's lock. Zero-initialise it; free it with
// video_planes_free.
struct VideoPlanes {
    int video_width, video_height;   // last size the size listener gave
    int render_width, render_height; // size the textures and the drawing use
    int line_sizes[3];               // stride of each stored plane
    uint8_t *planes[3];              // the stored planes
    int stored_height;               // picture height the buffers were sized for
    int plane_count;                 // 3 once pictures flow, 0 before
    bool frame_ready;                // a picture waits to be uploaded
    bool textures_stale;             // textures must be re-created before the upload
    FrameTiming timing;              // of the stored picture (zero when the decoder gave none)
};

// Size listener: stores a size when both values are positive.
void video_planes_set_size(VideoPlanes *p, int width, int height);

// Frame listener: copies a planar 4:2:0 picture (plane 0 has `height` rows,
// planes 1 and 2 (height + 1) / 2). Ignored before a size is known. A count
// of 0 or less marks the view empty; a count other than 3, a missing plane, a
// stride below 1 or a height below 1 leaves the stored picture as it was.
// The buffers are reused while strides and height stay the same; otherwise
// they are re-allocated and the textures marked stale. Chroma rows are stored
// with a stride of half the luma stride (rounded up) so that one texture
// coordinate fits all three planes; when the picture's chroma stride differs,
// rows are copied one by one (and the part beyond the picture's row zeroed).
// When memory runs out the view is emptied until the next picture.
void video_planes_take(VideoPlanes *p, int count, uint8_t *const *data, const int *line_sizes, int height);

void video_planes_free(VideoPlanes *p);

// What render() must do with GL for one frame, decided under the lock.
struct VideoUpload {
    bool draw;      // anything to draw at all
    bool recreate;  // re-create the three textures first
    bool upload;    // upload the stored planes
    int render_width, render_height;
    int widths[3];  // texture widths: the stored strides
    int rows[3];    // texture heights: from render_height, never more than stored
    const uint8_t *data[3];
    float tex_u;    // right edge of the visible picture in the textures
    bool fresh;     // a picture not drawn before is uploaded
    FrameTiming timing; // its timing, when fresh
};

// Render steps under the lock: nothing to draw before a size and a picture;
// otherwise the render size follows the video size (a change re-creates the
// textures), and stale textures or a new picture ask for an upload. Clears
// frame_ready and textures_stale. A re-creation always comes with an upload,
// so textures are never drawn empty. Rows are clamped to the stored planes:
// when the announced height exceeds the stored picture only the stored rows
// are used, and the upload never reads past a plane.
void video_planes_begin_render(VideoPlanes *p, VideoUpload *u);

class VideoView {
public:
    // Builds the YUV program and looks up its attributes and uniforms; the
    // program stays 0 (and nothing is ever drawn) when the driver rejects it.
    VideoView();
    virtual ~VideoView();
    VideoView(const VideoView &) = delete;
    VideoView &operator=(const VideoView &) = delete;

    void set_video_size(int width, int height);
    void take_frame(int count, uint8_t *const *data, const int *line_sizes, int height);

    // Draws the newest picture letterboxed into an output (the window's client
    // area) of output_width x output_height pixels and stores where it lies in
    // *rect. Returns 1 when it drew, 0 when there was nothing to draw (before
    // the first picture, without a program, or for an empty output); *rect is
    // then left as it was.
    int render(int output_width, int output_height, VideoArea *rect);

    // After render(): whether it uploaded a picture not drawn before, and that
    // picture's timing with the time the upload and drawing calls returned
    // (steady clock, microseconds). The UI thread uses it for the stream
    // statistics once the frame is swapped.
    bool drew_new_picture(FrameTiming *timing, uint64_t *drawn_us) const;

    // Adapters with the link's listener signatures; ctx is the VideoView.
    static void on_video_size(void *ctx, int width, int height);
    static void on_frame(void *ctx, int count, uint8_t *const *data, const int *line_sizes, int height);

    GLuint program() const { return program_; }

private:
    void recreate_textures(const VideoUpload &u);

    GLuint program_ = 0;
    GLint uniform_y_ = -1, uniform_u_ = -1, uniform_v_ = -1;
    GLint attrib_pos_ = -1, attrib_tex_ = -1;
    GLuint textures_[3] = {0, 0, 0};
    GLenum plane_format_ = GL_LUMINANCE;

    std::mutex lock_;
    VideoPlanes planes_ = {};

    // UI thread only.
    bool drew_new_ = false;
    FrameTiming drawn_timing_ = {};
    uint64_t drawn_us_ = 0;
};

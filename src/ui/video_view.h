// VideoView: shows the decoded video in the main window.
//
// The decoder thread hands every picture over through the frame listener; the
// view keeps a counted reference to the decoder's own picture (no copy of its
// planes). Once per UI frame, before the user interface is drawn, render()
// uploads a picture it has not uploaded yet straight from the decoder's planes
// (their strides given to GL as the unpack row length) into three
// single-channel textures, releases the reference, and draws the textures as
// one quad through a YUV-to-RGB shader, scaled to fit the window and
// letterboxed on dark grey. Only the bars are cleared; the quad is drawn
// without blending over whatever was there. A picture that arrives before the
// last one was uploaded replaces it, and the older is released unseen: the UI
// always shows the newest one, nothing queues, and the decoder never waits.
//
// Upload path, chosen at construction: straight from the picture's memory
// (drivers that copy at once, e.g. a software rasteriser), or through a pixel
// buffer object for drivers that upload asynchronously: the planes are copied
// into the mapped buffer and GL takes them from there in its own time.
//
// Threads and ownership:
// - The constructor, render() and the destructor run on the UI thread with the
//   GL context current and gl_api loaded (ui/gl_helpers.h).
// - set_video_size() and take_frame() (and the two listener adapters) run on
//   the decoder thread. They and render() meet under the view's lock, held
//   only to pass a reference over; every GL call stays on the UI thread.
// - The view owns its picture references, textures, buffers and program. The
//   link's listener lists must stop calling before the view is destroyed
//   (stop the link first).
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

struct YuvPicture;

// The YUV-to-RGB coefficients of the shader (BT.601, full range: Y as it is,
// U and V centred on 0.5), kept in one place for the screenshot's
// conversion (ui/screenshot.h), which must give the same colours.
#define VIDEO_YUV_R_V 1.13983
#define VIDEO_YUV_G_U 0.39465
#define VIDEO_YUV_G_V 0.58060
#define VIDEO_YUV_B_U 2.03211

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

// Rows of plane 0 (luma) or of plane 1 or 2 (chroma, half height rounded up)
// for a picture height. 0 for a height below 1.
int video_plane_rows(int height, int plane);

// What the three textures take from a picture: widths (the visible width, half
// of it rounded up for chroma), rows, and the unpack row length of each plane
// (its stride). False when the picture cannot be uploaded as it is (a size
// below 1, a missing plane, a stride narrower than its plane).
struct VideoTextureGeometry {
    int widths[3], rows[3], row_lengths[3];
};
bool video_texture_geometry(const PicturePlanes &p, VideoTextureGeometry *g);

// How pictures reach the textures.
enum class VideoUploadPath { Direct, PixelBuffer };

// The path for a driver: straight from memory for software rasterisers (a
// pixel buffer there is one more copy) and where buffers cannot be mapped
// (before 2.1, no glMapBuffer); a pixel buffer object otherwise. renderer is
// GL_RENDERER's text (null counts as unknown: direct).
VideoUploadPath video_upload_path_for(const char *renderer, int major, int minor, bool can_map);

// The picture hand-over shared between the decoder thread and the UI thread.
// All fields are guarded by the owner's lock. Zero-initialise it; free it with
// video_planes_free.
struct VideoPlanes {
    int video_width, video_height; // last size the size listener gave
    DecodedPicture *pending;       // newest picture not uploaded yet (a reference), or null
    FrameTiming timing;            // of the pending picture (zero when the decoder gave none)
    bool emptied;                  // the view was emptied since the last render
    uint64_t superseded;           // pictures replaced before they were uploaded
};

// Size listener: stores a size when both values are positive.
void video_planes_set_size(VideoPlanes *p, int width, int height);

// Frame hand-over: takes the reference `pic` (with its timing, may be null)
// as the pending picture. Returns the reference the caller must release
// (outside the lock): the picture it replaced before that was uploaded, or
// `pic` itself when no size is known yet (ignored).
DecodedPicture *video_planes_take(VideoPlanes *p, DecodedPicture *pic, const FrameTiming *timing);

// Empties the view (a frame of no planes): nothing is drawn until the next
// picture. Returns the pending reference for the caller to release.
DecodedPicture *video_planes_clear(VideoPlanes *p);

void video_planes_free(VideoPlanes *p);

// What render() takes over under the lock for one frame.
struct VideoUpload {
    DecodedPicture *picture; // a picture to upload, now the caller's reference; or null
    FrameTiming timing;      // its timing
    bool emptied;            // stop drawing the last picture
};

// Render step under the lock: moves the pending picture (if any) out to the
// caller, with the emptied flag, and clears both.
void video_planes_begin_render(VideoPlanes *p, VideoUpload *u);

class VideoView {
public:
    // Builds the YUV program and looks up its attributes and uniforms; the
    // program stays 0 (and nothing is ever drawn) when the driver rejects it.
    // The upload path follows the driver (video_upload_path_for) unless one
    // is forced (benchmarks compare both).
    VideoView();
    explicit VideoView(VideoUploadPath forced);
    virtual ~VideoView();
    VideoView(const VideoView &) = delete;
    VideoView &operator=(const VideoView &) = delete;

    void set_video_size(int width, int height);
    // On the decoder thread, inside its frame listener: keeps a reference to
    // the decoder's picture (decoder_picture_ref); a caller that is no
    // decoder's listener gets its planes copied once. A count of 0 or less
    // empties the view; a count other than 3, a missing plane, a stride below
    // the plane's width or a height below 1 is ignored, as is any picture
    // before a size is known.
    void take_frame(int count, uint8_t *const *data, const int *line_sizes, int height);

    // Draws the newest picture letterboxed into an output (the window's client
    // area) of output_width x output_height pixels and stores where it lies in
    // *rect; only the bars around it are cleared. Returns 1 when it drew, 0
    // when there was nothing to draw (before the first picture, without a
    // program, or for an empty output); the output is then untouched and
    // *rect left as it was.
    int render(int output_width, int output_height, VideoArea *rect);

    // Whether a picture waits that render() has not drawn yet (any thread).
    bool has_new_picture();

    // After render(): whether it uploaded a picture not drawn before, and that
    // picture's timing with the time the upload and drawing calls returned
    // (steady clock, microseconds). The UI thread uses it for the stream
    // statistics once the frame is swapped.
    bool drew_new_picture(FrameTiming *timing, uint64_t *drawn_us) const;

    // Pictures replaced before they were drawn (any thread).
    uint64_t superseded();

    VideoUploadPath upload_path() const { return path_; }

    // Adapters with the link's listener signatures; ctx is the VideoView.
    static void on_video_size(void *ctx, int width, int height);
    static void on_frame(void *ctx, int count, uint8_t *const *data, const int *line_sizes, int height);

    GLuint program() const { return program_; }

    // A copy of the picture on screen at its own size, read back from the
    // textures (UI thread, GL context current). Returns false when there is
    // none.
    bool snapshot(YuvPicture *out);
    // The video size last announced (0 x 0 before).
    void video_size(int *width, int *height);

private:
    void init(bool forced, VideoUploadPath path);
    bool upload(const PicturePlanes &pic);
    void recreate_textures(const VideoTextureGeometry &g);
    bool fill_pixel_buffer(const PicturePlanes &pic, const VideoTextureGeometry &g, size_t offsets[3]);

    GLuint program_ = 0;
    GLint uniform_y_ = -1, uniform_u_ = -1, uniform_v_ = -1;
    GLint attrib_pos_ = -1, attrib_tex_ = -1;
    GLuint textures_[3] = {0, 0, 0};
    GLenum plane_format_ = GL_LUMINANCE;
    VideoUploadPath path_ = VideoUploadPath::Direct;

    std::mutex lock_;
    VideoPlanes planes_ = {};

    // UI thread only.
    VideoTextureGeometry tex_ = {};   // what the textures were made for
    bool have_picture_ = false;       // the textures hold a picture
    int pic_width_ = 0, pic_height_ = 0;
    GLuint pixel_buffers_[2] = {0, 0}; // used in turn, so a picture never waits for the last one's transfer
    int next_buffer_ = 0;
    bool drew_new_ = false;
    FrameTiming drawn_timing_ = {};
    uint64_t drawn_us_ = 0;
};

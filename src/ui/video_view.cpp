#include "ui/video_view.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "ui/gl_helpers.h"
#include "ui/screenshot.h"

namespace {

const char kVertexShader[] = "#version 120\n"
                             "attribute vec4 vertex_pos;\n"
                             "attribute vec2 tex_pos;\n"
                             "varying vec2 tex_uv;\n"
                             "void main()\n"
                             "{\n"
                             "    gl_Position = vertex_pos;\n"
                             "    tex_uv = tex_pos;\n"
                             "}\n";

// BT.601 without a black-level offset: Y enters as it is, U and V centred on
// 0.5. The coefficients are plain decimals, as GLSL 1.20 writes them.
#define VIDEO_TEXT_(x) #x
#define VIDEO_TEXT(x) VIDEO_TEXT_(x)
const char kFragmentShader[] = "#version 120\n"
                               "varying vec2 tex_uv;\n"
                               "uniform sampler2D tex_y;\n"
                               "uniform sampler2D tex_u;\n"
                               "uniform sampler2D tex_v;\n"
                               "void main()\n"
                               "{\n"
                               "    float y = texture2D(tex_y, tex_uv).r;\n"
                               "    float u = texture2D(tex_u, tex_uv).r - 0.5;\n"
                               "    float v = texture2D(tex_v, tex_uv).r - 0.5;\n"
                               "    gl_FragColor = vec4(y + " VIDEO_TEXT(VIDEO_YUV_R_V) " * v,\n"
                               "                        y - " VIDEO_TEXT(VIDEO_YUV_G_U) " * u - " VIDEO_TEXT(VIDEO_YUV_G_V) " * v,\n"
                               "                        y + " VIDEO_TEXT(VIDEO_YUV_B_U) " * u,\n"
                               "                        1.0);\n"
                               "}\n";

// Renderer names of software rasterisers, which copy a texture upload at
// once: a pixel buffer would only add a copy.
const char *const kSoftwareRenderers[] = {"llvmpipe", "softpipe", "swrast", "Software Rasterizer", "SWR"};

} // namespace

int video_fit(int out_w, int out_h, int pic_w, int pic_h, VideoArea *rect, float *sx, float *sy)
{
    if (out_w < 1 || out_h < 1 || pic_w < 1 || pic_h < 1)
        return -1;
    float s = std::min((float)out_w / (float)pic_w, (float)out_h / (float)pic_h);
    float dw = s * (float)pic_w;
    float dh = s * (float)pic_h;
    rect->x = (int32_t)(((float)out_w - dw) * 0.5f);
    rect->y = (int32_t)(((float)out_h - dh) * 0.5f);
    rect->width = (int32_t)dw;
    rect->height = (int32_t)dh;
    if (sx)
        *sx = dw / (float)out_w;
    if (sy)
        *sy = dh / (float)out_h;
    return 0;
}

int video_plane_rows(int height, int plane)
{
    if (height < 1)
        return 0;
    return plane == 0 ? height : height - height / 2;
}

bool video_texture_geometry(const PicturePlanes &p, VideoTextureGeometry *g)
{
    *g = VideoTextureGeometry{};
    if (p.width < 1 || p.height < 1)
        return false;
    for (int i = 0; i < 3; i++) {
        const int w = i == 0 ? p.width : p.width - p.width / 2;
        if (!p.data[i] || p.line_sizes[i] < w)
            return false;
        g->widths[i] = w;
        g->rows[i] = video_plane_rows(p.height, i);
        g->row_lengths[i] = p.line_sizes[i];
    }
    return true;
}

VideoUploadPath video_upload_path_for(const char *renderer, int major, int minor, bool can_map)
{
    if (!renderer || !can_map || major < 2 || (major == 2 && minor < 1))
        return VideoUploadPath::Direct;
    for (const char *name : kSoftwareRenderers)
        if (std::strstr(renderer, name))
            return VideoUploadPath::Direct;
    return VideoUploadPath::PixelBuffer;
}

void video_planes_set_size(VideoPlanes *p, int width, int height)
{
    if (width < 1 || height < 1)
        return;
    p->video_width = width;
    p->video_height = height;
}

DecodedPicture *video_planes_take(VideoPlanes *p, DecodedPicture *pic, const FrameTiming *timing)
{
    if (p->video_width < 1 || p->video_height < 1 || !pic)
        return pic;
    DecodedPicture *old = p->pending;
    if (old)
        p->superseded++;
    p->pending = pic;
    p->timing = timing ? *timing : FrameTiming{};
    p->emptied = false;
    return old;
}

DecodedPicture *video_planes_clear(VideoPlanes *p)
{
    DecodedPicture *old = p->pending;
    p->pending = nullptr;
    p->emptied = true;
    return old;
}

void video_planes_free(VideoPlanes *p)
{
    picture_release(&p->pending);
    p->emptied = false;
}

void video_planes_begin_render(VideoPlanes *p, VideoUpload *u)
{
    u->picture = p->pending;
    u->timing = p->pending ? p->timing : FrameTiming{};
    u->emptied = p->emptied;
    p->pending = nullptr;
    p->emptied = false;
}

VideoView::VideoView() { init(false, VideoUploadPath::Direct); }

VideoView::VideoView(VideoUploadPath forced) { init(true, forced); }

void VideoView::init(bool forced, VideoUploadPath path)
{
    plane_format_ = gl_single_channel_format(gl_api.major);
    const bool can_map = gl_api.MapBuffer && gl_api.UnmapBuffer;
    if (!forced)
        path = video_upload_path_for((const char *)glGetString(GL_RENDERER), gl_api.major, gl_api.minor, can_map);
    path_ = can_map ? path : VideoUploadPath::Direct;
    if (path_ == VideoUploadPath::PixelBuffer)
        gl_api.GenBuffers(2, pixel_buffers_);
    // Position on attribute 0: compatibility contexts draw nothing unless
    // attribute 0 is an enabled array.
    static const GlAttribBinding bindings[] = {{"vertex_pos", 0}, {"tex_pos", 1}};
    program_ = gl_build_program(kVertexShader, kFragmentShader, bindings, 2);
    if (!program_)
        return;
    attrib_pos_ = gl_api.GetAttribLocation(program_, "vertex_pos");
    attrib_tex_ = gl_api.GetAttribLocation(program_, "tex_pos");
    uniform_y_ = gl_api.GetUniformLocation(program_, "tex_y");
    uniform_u_ = gl_api.GetUniformLocation(program_, "tex_u");
    uniform_v_ = gl_api.GetUniformLocation(program_, "tex_v");
    if (attrib_pos_ < 0 || attrib_tex_ < 0 || uniform_y_ < 0 || uniform_u_ < 0 || uniform_v_ < 0) {
        gl_api.DeleteProgram(program_);
        program_ = 0;
    }
}

VideoView::~VideoView()
{
    for (GLuint &t : textures_) {
        if (t && glIsTexture(t))
            glDeleteTextures(1, &t);
        t = 0;
    }
    if (pixel_buffers_[0] || pixel_buffers_[1])
        gl_api.DeleteBuffers(2, pixel_buffers_);
    if (program_)
        gl_api.DeleteProgram(program_);
    std::lock_guard<std::mutex> guard(lock_);
    video_planes_free(&planes_);
}

void VideoView::set_video_size(int width, int height)
{
    std::lock_guard<std::mutex> guard(lock_);
    video_planes_set_size(&planes_, width, height);
}

void VideoView::take_frame(int count, uint8_t *const *data, const int *line_sizes, int height)
{
    DecodedPicture *drop = nullptr;
    if (count < 1) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            drop = video_planes_clear(&planes_);
        }
        picture_release(&drop);
        return;
    }
    // Only whole planar 4:2:0 pictures: anything else would leave planes the
    // drawing reads unset, or index past the three the view keeps.
    if (count != 3 || !data || !line_sizes || height < 1)
        return;
    const FrameTiming *t = decoder_picture_timing();
    DecodedPicture *pic = decoder_picture_ref();
    PicturePlanes planes;
    VideoTextureGeometry g;
    if (pic && !(picture_planes(pic, &planes) && planes.data[0] == data[0] && planes.height == height &&
                 video_texture_geometry(planes, &g))) {
        picture_release(&pic); // not the picture these planes belong to
    }
    if (!pic) {
        // Not inside a decoder's listener: the planes are the caller's and
        // valid only now, so they are copied once. Their width is the
        // announced one, never more than a row holds.
        int width;
        {
            std::lock_guard<std::mutex> guard(lock_);
            width = planes_.video_width;
        }
        if (width < 1)
            return;
        pic = picture_copy(std::min(width, line_sizes[0]), height, data, line_sizes);
        if (!pic)
            return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        drop = video_planes_take(&planes_, pic, t);
    }
    picture_release(&drop);
}

bool VideoView::has_new_picture()
{
    std::lock_guard<std::mutex> guard(lock_);
    return planes_.pending != nullptr || planes_.emptied;
}

uint64_t VideoView::superseded()
{
    std::lock_guard<std::mutex> guard(lock_);
    return planes_.superseded;
}

bool VideoView::drew_new_picture(FrameTiming *timing, uint64_t *drawn_us) const
{
    if (drew_new_) {
        if (timing)
            *timing = drawn_timing_;
        if (drawn_us)
            *drawn_us = drawn_us_;
    }
    return drew_new_;
}

void VideoView::on_video_size(void *ctx, int width, int height)
{
    static_cast<VideoView *>(ctx)->set_video_size(width, height);
}

void VideoView::on_frame(void *ctx, int count, uint8_t *const *data, const int *line_sizes, int height)
{
    static_cast<VideoView *>(ctx)->take_frame(count, data, line_sizes, height);
}

void VideoView::recreate_textures(const VideoTextureGeometry &g)
{
    for (GLuint &t : textures_)
        if (t && glIsTexture(t))
            glDeleteTextures(1, &t);
    glGenTextures(3, textures_);
    const GLint samplers[3] = {uniform_y_, uniform_u_, uniform_v_};
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    for (int i = 0; i < 3; i++) {
        gl_api.ActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures_[i]);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
        glTexImage2D(GL_TEXTURE_2D, 0, (GLint)plane_format_, g.widths[i], g.rows[i], 0, plane_format_,
                     GL_UNSIGNED_BYTE, nullptr);
        gl_api.Uniform1i(samplers[i], i);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    tex_ = g;
}

// Copies the planes, each with its own stride, into the next pixel buffer
// and leaves it bound; offsets[i] is where plane i starts in it. False (and
// nothing bound) when the buffer cannot be mapped.
bool VideoView::fill_pixel_buffer(const PicturePlanes &pic, const VideoTextureGeometry &g, size_t offsets[3])
{
    // The last row of a plane ends at its visible width: nothing past the
    // plane is read.
    size_t sizes[3], total = 0;
    for (int i = 0; i < 3; i++) {
        sizes[i] = (size_t)g.row_lengths[i] * (size_t)(g.rows[i] - 1) + (size_t)g.widths[i];
        offsets[i] = total;
        total += sizes[i];
    }
    gl_api.BindBuffer(GL_PIXEL_UNPACK_BUFFER, pixel_buffers_[next_buffer_]);
    next_buffer_ ^= 1;
    // A fresh store each time: the driver need not wait for a transfer still
    // reading the old one.
    gl_api.BufferData(GL_PIXEL_UNPACK_BUFFER, (GLsizeiptr)total, nullptr, GL_STREAM_DRAW);
    auto *dst = static_cast<uint8_t *>(gl_api.MapBuffer(GL_PIXEL_UNPACK_BUFFER, GL_WRITE_ONLY));
    if (!dst) {
        gl_api.BindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        return false;
    }
    for (int i = 0; i < 3; i++)
        std::memcpy(dst + offsets[i], pic.data[i], sizes[i]);
    if (!gl_api.UnmapBuffer(GL_PIXEL_UNPACK_BUFFER)) {
        gl_api.BindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        return false; // the store was lost (a mode switch): upload directly
    }
    return true;
}

// Uploads a picture into the textures, re-created first when its geometry
// differs from theirs. False when the picture cannot be uploaded.
bool VideoView::upload(const PicturePlanes &pic)
{
    VideoTextureGeometry g;
    if (!video_texture_geometry(pic, &g))
        return false;
    if (!have_picture_ || std::memcmp(g.widths, tex_.widths, sizeof g.widths) != 0 ||
        std::memcmp(g.rows, tex_.rows, sizeof g.rows) != 0)
        recreate_textures(g);
    size_t offsets[3];
    const bool buffered = path_ == VideoUploadPath::PixelBuffer && fill_pixel_buffer(pic, g, offsets);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < 3; i++) {
        gl_api.ActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures_[i]);
        // The decoder's rows are wider than the picture: GL skips the rest
        // of each row itself.
        glPixelStorei(GL_UNPACK_ROW_LENGTH, g.row_lengths[i]);
        const void *src = buffered ? (const void *)(uintptr_t)offsets[i] : (const void *)pic.data[i];
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, g.widths[i], g.rows[i], plane_format_, GL_UNSIGNED_BYTE, src);
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (buffered)
        gl_api.BindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    pic_width_ = pic.width;
    pic_height_ = pic.height;
    return true;
}

int VideoView::render(int output_width, int output_height, VideoArea *rect)
{
    drew_new_ = false;
    if (!program_)
        return 0;
    VideoUpload u;
    {
        std::lock_guard<std::mutex> guard(lock_);
        video_planes_begin_render(&planes_, &u);
    }
    if (u.emptied && !u.picture)
        have_picture_ = false;
    bool fresh = false;
    if (u.picture) {
        PicturePlanes pic;
        gl_api.UseProgram(program_);
        if (picture_planes(u.picture, &pic) && upload(pic)) {
            have_picture_ = true;
            fresh = true;
        }
        // The textures hold it now (a screenshot reads them back): the
        // decoder has the picture back at once, so it needs one less.
        picture_release(&u.picture);
    }
    if (!have_picture_)
        return 0;

    VideoArea r;
    if (video_fit(output_width, output_height, pic_width_, pic_height_, &r, nullptr, nullptr) < 0)
        return 0;
    if (rect)
        *rect = r;

    if (gl_api.BindFramebuffer)
        gl_api.BindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, output_width, output_height);
    // Only the bars are cleared: the picture covers the rest. GL counts rows
    // from the bottom.
    glClearColor(0.1f, 0.1f, 0.1f, 1.0f);
    glEnable(GL_SCISSOR_TEST);
    const int bottom = output_height - (r.y + r.height);
    const int bars[4][4] = {{0, 0, r.x, output_height},
                            {r.x + r.width, 0, output_width - (r.x + r.width), output_height},
                            {r.x, 0, r.width, bottom},
                            {r.x, bottom + r.height, r.width, r.y}};
    for (const auto &b : bars) {
        if (b[2] < 1 || b[3] < 1)
            continue;
        glScissor(b[0], b[1], b[2], b[3]);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_BLEND);

    gl_api.UseProgram(program_);
    // Bound on every frame, not only after an upload: the UI backend binds its
    // own textures on unit 0 in between.
    for (int i = 0; i < 3; i++) {
        gl_api.ActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures_[i]);
    }

    // The quad covers exactly the rectangle whose bars were cleared.
    // Client-side arrays: no buffer object may be bound to GL_ARRAY_BUFFER.
    // The first texture row is the top picture row, hence v = 0 at the top.
    const float x0 = 2.0f * (float)r.x / (float)output_width - 1.0f;
    const float x1 = 2.0f * (float)(r.x + r.width) / (float)output_width - 1.0f;
    const float y0 = 2.0f * (float)bottom / (float)output_height - 1.0f;
    const float y1 = 2.0f * (float)(bottom + r.height) / (float)output_height - 1.0f;
    const GLfloat positions[8] = {x0, y0, x1, y0, x0, y1, x1, y1};
    const GLfloat tex_coords[8] = {0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f};
    gl_api.BindBuffer(GL_ARRAY_BUFFER, 0);
    gl_api.VertexAttribPointer((GLuint)attrib_pos_, 2, GL_FLOAT, GL_FALSE, 0, positions);
    gl_api.VertexAttribPointer((GLuint)attrib_tex_, 2, GL_FLOAT, GL_FALSE, 0, tex_coords);
    gl_api.EnableVertexAttribArray((GLuint)attrib_pos_);
    gl_api.EnableVertexAttribArray((GLuint)attrib_tex_);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    if (fresh) {
        drew_new_ = true;
        drawn_timing_ = u.timing;
        drawn_us_ = clock_steady_us();
    }
    // The arrays point into this stack frame: never leave them enabled.
    gl_api.DisableVertexAttribArray((GLuint)attrib_pos_);
    gl_api.DisableVertexAttribArray((GLuint)attrib_tex_);
    gl_api.ActiveTexture(GL_TEXTURE0);

    if (gl_api.BindFramebuffer)
        gl_api.BindFramebuffer(GL_FRAMEBUFFER, 0);
    return 1;
}

bool VideoView::snapshot(YuvPicture *out)
{
    if (!have_picture_ || pic_width_ < 1 || pic_height_ < 1)
        return false;
    while (glGetError() != GL_NO_ERROR) {
    }
    out->width = pic_width_;
    out->height = pic_height_;
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    for (int i = 0; i < 3; i++) {
        out->strides[i] = tex_.widths[i];
        out->planes[i].assign((size_t)tex_.widths[i] * (size_t)tex_.rows[i], 0);
        gl_api.ActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures_[i]);
        glGetTexImage(GL_TEXTURE_2D, 0, plane_format_, GL_UNSIGNED_BYTE, out->planes[i].data());
    }
    gl_api.ActiveTexture(GL_TEXTURE0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    return glGetError() == GL_NO_ERROR;
}

void VideoView::video_size(int *width, int *height)
{
    std::lock_guard<std::mutex> guard(lock_);
    *width = planes_.video_width;
    *height = planes_.video_height;
}

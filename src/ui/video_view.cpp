#include "ui/video_view.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "ui/gl_helpers.h"

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

// BT.601 without a black-level offset: Y enters as it is, U and V centred on 0.5.
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
                               "    gl_FragColor = vec4(y + 1.13983 * v,\n"
                               "                        y - 0.39465 * u - 0.58060 * v,\n"
                               "                        y + 2.03211 * u,\n"
                               "                        1.0);\n"
                               "}\n";

void free_planes(VideoPlanes *p)
{
    for (int i = 0; i < 3; i++) {
        free(p->planes[i]);
        p->planes[i] = nullptr;
        p->line_sizes[i] = 0;
    }
    p->stored_height = 0;
}

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

float video_tex_u(int width, int stride)
{
    if (width < 1 || stride < 1)
        return 0.0f;
    if (width >= stride)
        return 1.0f;
    return (float)width / (float)stride;
}

int video_plane_rows(int height, int plane)
{
    if (height < 1)
        return 0;
    return plane == 0 ? height : height - height / 2;
}

void video_planes_set_size(VideoPlanes *p, int width, int height)
{
    if (width < 1 || height < 1)
        return;
    p->video_width = width;
    p->video_height = height;
}

void video_planes_take(VideoPlanes *p, int count, uint8_t *const *data, const int *line_sizes, int height)
{
    if (p->video_width < 1 || p->video_height < 1)
        return;
    if (count < 1) {
        free_planes(p);
        p->plane_count = 0;
        p->frame_ready = true;
        return;
    }
    // Only whole planar 4:2:0 pictures: anything else would leave planes the
    // drawing reads unset, or index past the three the view keeps.
    if (count != 3 || !data || !line_sizes || height < 1)
        return;
    for (int i = 0; i < 3; i++)
        if (!data[i] || line_sizes[i] < 1)
            return;

    // Chroma is kept at half the luma stride, so that the one texture
    // coordinate that cuts the luma padding off cuts the chroma padding too.
    const int chroma_stride = line_sizes[0] - line_sizes[0] / 2;
    const int strides[3] = {line_sizes[0], chroma_stride, chroma_stride};

    // Decide for all three planes before stored_height changes: each plane's
    // buffer must fit this picture's rows.
    bool reallocate = height != p->stored_height || p->plane_count != 3;
    for (int i = 0; i < 3; i++)
        if (strides[i] != p->line_sizes[i] || !p->planes[i])
            reallocate = true;
    if (reallocate) {
        free_planes(p);
        p->plane_count = 0;
        for (int i = 0; i < 3; i++) {
            p->planes[i] = (uint8_t *)calloc((size_t)strides[i], (size_t)video_plane_rows(height, i));
            if (!p->planes[i]) {
                free_planes(p);
                p->frame_ready = false;
                return;
            }
            p->line_sizes[i] = strides[i];
        }
        p->stored_height = height;
        p->textures_stale = true;
    }
    p->plane_count = 3;

    for (int i = 0; i < 3; i++) {
        const size_t rows = (size_t)video_plane_rows(height, i);
        const size_t dst_stride = (size_t)strides[i];
        const size_t src_stride = (size_t)line_sizes[i];
        if (src_stride == dst_stride) {
            memcpy(p->planes[i], data[i], dst_stride * rows);
            continue;
        }
        const size_t n = std::min(src_stride, dst_stride);
        for (size_t r = 0; r < rows; r++) {
            uint8_t *dst = p->planes[i] + r * dst_stride;
            memcpy(dst, data[i] + r * src_stride, n);
            if (n < dst_stride)
                memset(dst + n, 0, dst_stride - n);
        }
    }
    p->frame_ready = true;
}

void video_planes_free(VideoPlanes *p)
{
    free_planes(p);
    p->plane_count = 0;
    p->frame_ready = false;
}

void video_planes_begin_render(VideoPlanes *p, VideoUpload *u)
{
    *u = VideoUpload{};
    if (p->video_width < 1 || p->video_height < 1 || p->plane_count != 3)
        return;
    for (int i = 0; i < 3; i++)
        if (!p->planes[i])
            return;
    if (p->render_width != p->video_width || p->render_height != p->video_height) {
        p->render_width = p->video_width;
        p->render_height = p->video_height;
        p->textures_stale = true;
    }
    u->draw = true;
    u->recreate = p->textures_stale;
    u->upload = p->frame_ready || p->textures_stale;
    u->fresh = p->frame_ready;
    u->timing = p->timing;
    p->textures_stale = false;
    p->frame_ready = false;
    u->render_width = p->render_width;
    u->render_height = p->render_height;
    for (int i = 0; i < 3; i++) {
        u->widths[i] = p->line_sizes[i];
        u->rows[i] = std::min(video_plane_rows(p->render_height, i), video_plane_rows(p->stored_height, i));
        u->data[i] = p->planes[i];
    }
    u->tex_u = video_tex_u(p->render_width, p->line_sizes[0]);
}

VideoView::VideoView()
{
    plane_format_ = gl_single_channel_format(gl_api.major);
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
    const FrameTiming *t = decoder_picture_timing();
    std::lock_guard<std::mutex> guard(lock_);
    video_planes_take(&planes_, count, data, line_sizes, height);
    planes_.timing = t ? *t : FrameTiming{};
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

void VideoView::recreate_textures(const VideoUpload &u)
{
    for (GLuint &t : textures_)
        if (t && glIsTexture(t))
            glDeleteTextures(1, &t);
    glGenTextures(3, textures_);
    const GLint samplers[3] = {uniform_y_, uniform_u_, uniform_v_};
    for (int i = 0; i < 3; i++) {
        gl_api.ActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures_[i]);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexImage2D(GL_TEXTURE_2D, 0, (GLint)plane_format_, u.widths[i], u.rows[i], 0, plane_format_,
                     GL_UNSIGNED_BYTE, nullptr);
        if (gl_api.GenerateMipmap)
            gl_api.GenerateMipmap(GL_TEXTURE_2D);
        gl_api.Uniform1i(samplers[i], i);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
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
        if (!u.draw)
            return 0;
        gl_api.UseProgram(program_);
        if (u.recreate)
            recreate_textures(u);
        if (u.upload) {
            // The whole image is uploaded again from the stored copy, which
            // the decoder thread may replace as soon as the lock is released.
            // Into the textures' existing storage (re-created above when the
            // size changed): a fresh allocation per picture costs the driver
            // more than the copy itself.
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
            for (int i = 0; i < 3; i++) {
                gl_api.ActiveTexture(GL_TEXTURE0 + i);
                glBindTexture(GL_TEXTURE_2D, textures_[i]);
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, u.widths[i], u.rows[i], plane_format_, GL_UNSIGNED_BYTE,
                                u.data[i]);
            }
        }
    }

    VideoArea r;
    float sx = 0, sy = 0;
    if (video_fit(output_width, output_height, u.render_width, u.render_height, &r, &sx, &sy) < 0)
        return 0;
    if (rect)
        *rect = r;

    if (gl_api.BindFramebuffer)
        gl_api.BindFramebuffer(GL_FRAMEBUFFER, 0);
    glDisable(GL_SCISSOR_TEST);
    glClearColor(0.1f, 0.1f, 0.1f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(0, 0, output_width, output_height);

    gl_api.UseProgram(program_);
    // Bound on every frame, not only after an upload: the UI backend binds its
    // own textures on unit 0 in between, and the last picture is drawn again
    // on every frame until a newer one comes.
    for (int i = 0; i < 3; i++) {
        gl_api.ActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures_[i]);
    }

    // Client-side arrays: no buffer object may be bound to GL_ARRAY_BUFFER.
    // The first texture row is the top picture row, hence v = 0 at the top.
    const GLfloat positions[8] = {-sx, -sy, sx, -sy, -sx, sy, sx, sy};
    const GLfloat tex_coords[8] = {0.0f, 1.0f, u.tex_u, 1.0f, 0.0f, 0.0f, u.tex_u, 0.0f};
    gl_api.BindBuffer(GL_ARRAY_BUFFER, 0);
    gl_api.VertexAttribPointer((GLuint)attrib_pos_, 2, GL_FLOAT, GL_FALSE, 0, positions);
    gl_api.VertexAttribPointer((GLuint)attrib_tex_, 2, GL_FLOAT, GL_FALSE, 0, tex_coords);
    gl_api.EnableVertexAttribArray((GLuint)attrib_pos_);
    gl_api.EnableVertexAttribArray((GLuint)attrib_tex_);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    if (u.fresh) {
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

#include "ui/gaussian_blur.h"

#include <cmath>

#include "ui/gl_helpers.h"

namespace {

const char kVertexShader[] = "#version 120\n"
                             "attribute vec3 iPos;\n"
                             "attribute vec2 iTex;\n"
                             "varying vec2 uv;\n"
                             "void main()\n"
                             "{\n"
                             "    gl_Position = vec4(iPos.x, iPos.y, iPos.z, 1.0);\n"
                             "    uv = iTex;\n"
                             "}\n";

const char kPlainFragmentShader[] = "#version 120\n"
                                    "varying vec2 uv;\n"
                                    "uniform sampler2D tex;\n"
                                    "void main()\n"
                                    "{\n"
                                    "    gl_FragColor = texture2D(tex, uv);\n"
                                    "}\n";

// Phase 0 copies (the shrinking happens through the smaller viewport), phases
// 1 and 2 are the two halves of the separable kernel. Taps past the edge are
// clamped onto it rather than wrapped, so the border does not bleed in from
// the opposite side.
const char kBlurFragmentShader[] = "#version 120\n"
                                   "varying vec2 uv;\n"
                                   "uniform sampler2D tex;\n"
                                   "uniform float width;\n"
                                   "uniform float height;\n"
                                   "uniform int phase;\n"
                                   "uniform int radius;\n"
                                   "const float pi = 3.141592653589793;\n"
                                   "const float sigma = 3.0;\n"
                                   "float weight(int i)\n"
                                   "{\n"
                                   "    float x = float(i);\n"
                                   "    return 1.0 / (pi * 2.0 * sigma * sigma) * exp(-(x * x) / (2.0 * sigma * sigma));\n"
                                   "}\n"
                                   "void main()\n"
                                   "{\n"
                                   "    if (phase == 0) {\n"
                                   "        gl_FragColor = texture2D(tex, uv);\n"
                                   "    } else if (phase == 1) {\n"
                                   "        vec4 sum = vec4(0.0);\n"
                                   "        float total = 0.0;\n"
                                   "        for (int i = -radius; i <= radius; i++) {\n"
                                   "            float w = weight(i);\n"
                                   "            vec2 p = uv + vec2(float(i) / width, 0.0);\n"
                                   "            p.x = clamp(p.x, 0.0, 1.0);\n"
                                   "            sum += texture2D(tex, p) * w;\n"
                                   "            total += w;\n"
                                   "        }\n"
                                   "        gl_FragColor = sum / total;\n"
                                   "    } else if (phase == 2) {\n"
                                   "        vec4 sum = vec4(0.0);\n"
                                   "        float total = 0.0;\n"
                                   "        for (int i = -radius; i <= radius; i++) {\n"
                                   "            float w = weight(i);\n"
                                   "            vec2 p = uv + vec2(0.0, float(i) / height);\n"
                                   "            p.y = clamp(p.y, 0.0, 1.0);\n"
                                   "            sum += texture2D(tex, p) * w;\n"
                                   "            total += w;\n"
                                   "        }\n"
                                   "        gl_FragColor = sum / total;\n"
                                   "    } else {\n"
                                   "        gl_FragColor = vec4(1.0, 0.0, 0.0, 1.0);\n"
                                   "    }\n"
                                   "}\n";

// x, y, z, u, v; v = 0 on the top edge because the first texture row is the
// top row of the photo.
const float kQuad[GAUSSIAN_BLUR_QUAD_FLOATS] = {
    -1.0f, -1.0f, 1.0f, 0.0f, 1.0f, //
    -1.0f, 1.0f,  1.0f, 0.0f, 0.0f, //
    1.0f,  -1.0f, 1.0f, 1.0f, 1.0f, //
    -1.0f, 1.0f,  1.0f, 0.0f, 0.0f, //
    1.0f,  1.0f,  1.0f, 1.0f, 0.0f, //
    1.0f,  -1.0f, 1.0f, 1.0f, 1.0f, //
};

const GLfloat kClear[4] = {0.1f, 0.1f, 0.1f, 1.0f};

bool have_framebuffers()
{
    return gl_api.GenFramebuffers && gl_api.BindFramebuffer && gl_api.FramebufferTexture2D &&
           gl_api.CheckFramebufferStatus;
}

void delete_texture(GLuint *t)
{
    if (*t && glIsTexture(*t))
        glDeleteTextures(1, t);
    *t = 0;
}

void delete_program(GLuint *p)
{
    if (*p)
        gl_api.DeleteProgram(*p);
    *p = 0;
}

} // namespace

int gaussian_blur_shrunk_size(int level, int width, int height, int *out_w, int *out_h)
{
    if (out_w)
        *out_w = 0;
    if (out_h)
        *out_h = 0;
    if (width < 0 || height < 0)
        return -1;
    const float f = powf(2.0f, (float)level / 100.0f * 4.0f);
    const float w = (float)width / f;
    const float h = (float)height / f;
    // A very negative level makes f 0 (w and h infinite or NaN); a very large
    // one makes them 0, which is a valid (empty) result.
    if (!(w >= 0.0f && w < 2147483648.0f && h >= 0.0f && h < 2147483648.0f))
        return -1;
    if (out_w)
        *out_w = (int)w;
    if (out_h)
        *out_h = (int)h;
    return 0;
}

const float *gaussian_blur_quad(void)
{
    return kQuad;
}

double gaussian_blur_weight(int i)
{
    const double pi = 3.141592653589793;
    const double sigma = 3.0;
    const double x = (double)i;
    return 1.0 / (pi * 2.0 * sigma * sigma) * exp(-(x * x) / (2.0 * sigma * sigma));
}

void gaussian_blur_plan(int level, int width, int height, int stored_w, int stored_h, bool have_fbo,
                        bool have_blur_program, GaussianBlurPlan *plan)
{
    *plan = GaussianBlurPlan{};
    plan->shrunk_width = stored_w;
    plan->shrunk_height = stored_h;
    int sw = 0, sh = 0;
    if (gaussian_blur_shrunk_size(level, width, height, &sw, &sh) < 0)
        return;
    // A zero-sized texture cannot be a render target; passes into nothing
    // would leave T3 undefined, so the source is drawn as it is instead.
    if (level <= 0 || !have_fbo || !have_blur_program || sw < 1 || sh < 1)
        return;
    plan->passes = true;
    plan->recreate = sw != stored_w || sh != stored_h;
    plan->shrunk_width = sw;
    plan->shrunk_height = sh;
}

GaussianBlurRender::~GaussianBlurRender()
{
    if (quad_buffer_ && gl_api.IsBuffer(quad_buffer_))
        gl_api.DeleteBuffers(1, &quad_buffer_);
    quad_buffer_ = 0;
    delete_textures();
    delete_program(&plain_program_);
    delete_program(&blur_program_);
    if (framebuffer_ && gl_api.DeleteFramebuffers)
        gl_api.DeleteFramebuffers(1, &framebuffer_);
    framebuffer_ = 0;
}

int GaussianBlurRender::create_programs()
{
    if (!gl_api.CreateShader || !gl_api.GenBuffers)
        return -1;
    delete_program(&plain_program_);
    delete_program(&blur_program_);
    if (quad_buffer_ && gl_api.IsBuffer(quad_buffer_))
        gl_api.DeleteBuffers(1, &quad_buffer_);
    quad_buffer_ = 0;

    // The draw code feeds attributes 0 and 1 by number, so the names must sit
    // there; a compatibility context also draws nothing unless attribute 0 is
    // an enabled array.
    static const GlAttribBinding bindings[] = {{"iPos", 0}, {"iTex", 1}};
    plain_program_ = gl_build_program(kVertexShader, kPlainFragmentShader, bindings, 2);
    blur_program_ = gl_build_program(kVertexShader, kBlurFragmentShader, bindings, 2);
    gl_api.GenBuffers(1, &quad_buffer_);
    return plain_program_ && blur_program_ && quad_buffer_ ? 0 : -1;
}

void GaussianBlurRender::delete_textures()
{
    blurred_ = false;
    delete_texture(&t1_);
    delete_texture(&t3_);
    delete_texture(&t2_);
}

void GaussianBlurRender::recreate_textures()
{
    delete_textures();
    GLuint *textures[3] = {&t1_, &t2_, &t3_};
    for (GLuint *t : textures) {
        glGenTextures(1, t);
        glBindTexture(GL_TEXTURE_2D, *t);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, shrunk_width_, shrunk_height_, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     nullptr);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}

void GaussianBlurRender::draw_quad()
{
    gl_api.BindBuffer(GL_ARRAY_BUFFER, quad_buffer_);
    gl_api.BufferData(GL_ARRAY_BUFFER, sizeof kQuad, kQuad, GL_STATIC_DRAW);
    gl_api.VertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (const void *)0);
    gl_api.VertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (const void *)(3 * sizeof(float)));
    gl_api.EnableVertexAttribArray(0);
    gl_api.EnableVertexAttribArray(1);
    glDrawArrays(GL_TRIANGLES, 0, GAUSSIAN_BLUR_QUAD_VERTICES);
    // The UI backend's own attributes may share these numbers; its reset
    // callback re-enables what it uses, but must not find ours still on.
    gl_api.DisableVertexAttribArray(0);
    gl_api.DisableVertexAttribArray(1);
    gl_api.BindBuffer(GL_ARRAY_BUFFER, 0);
}

bool GaussianBlurRender::offscreen_pass(int phase, GLuint source, GLuint target)
{
    if (!framebuffer_)
        gl_api.GenFramebuffers(1, &framebuffer_);
    gl_api.BindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    gl_api.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target, 0);
    // An incomplete target (say, a size over the driver's limit) would leave
    // the result undefined: give up on the blur for this frame.
    if (gl_api.CheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        gl_api.BindFramebuffer(GL_FRAMEBUFFER, 0);
        return false;
    }
    glClearColor(kClear[0], kClear[1], kClear[2], kClear[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(0, 0, shrunk_width_, shrunk_height_);

    gl_api.UseProgram(blur_program_);
    gl_api.Uniform1i(gl_api.GetUniformLocation(blur_program_, "phase"), phase);
    gl_api.Uniform1i(gl_api.GetUniformLocation(blur_program_, "radius"), level_);
    gl_api.Uniform1f(gl_api.GetUniformLocation(blur_program_, "width"), (float)shrunk_width_);
    gl_api.Uniform1f(gl_api.GetUniformLocation(blur_program_, "height"), (float)shrunk_height_);
    gl_api.ActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, source);
    gl_api.Uniform1i(gl_api.GetUniformLocation(blur_program_, "tex"), 0);

    draw_quad();

    gl_api.BindFramebuffer(GL_FRAMEBUFFER, 0);
    return true;
}

void GaussianBlurRender::render(GLuint texture, int width, int height)
{
    if (output_width_ < 1 || output_height_ < 1)
        return;
    if (!texture)
        width = height = 0;

    // Inside the UI backend's draw the scissor box is one of its clip
    // rectangles and blending is on; neither belongs to these full-target
    // passes. Its reset callback turns them back on.
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);

    GaussianBlurPlan plan;
    gaussian_blur_plan(level_, width, height, shrunk_width_, shrunk_height_, have_framebuffers(),
                       blur_program_ && quad_buffer_, &plan);
    if (plan.recreate) {
        shrunk_width_ = plan.shrunk_width;
        shrunk_height_ = plan.shrunk_height;
        recreate_textures();
    }

    // The photo stands still: the blurred copy in T3 is made again only when
    // the source, its size, the level or the textures changed. The three
    // passes cost far more than the rest of the connection screen.
    GLuint result = texture;
    const bool current = blurred_ && !plan.recreate && blurred_source_ == texture && blurred_width_ == width &&
                         blurred_height_ == height && blurred_level_ == level_;
    if (plan.passes && current) {
        result = t3_;
    } else if (plan.passes && offscreen_pass(0, texture, t1_) && offscreen_pass(1, t1_, t2_) &&
               offscreen_pass(2, t2_, t3_)) {
        result = t3_;
        blurred_ = true;
        blurred_source_ = texture;
        blurred_width_ = width;
        blurred_height_ = height;
        blurred_level_ = level_;
    } else {
        blurred_ = false;
    }

    if (gl_api.BindFramebuffer)
        gl_api.BindFramebuffer(GL_FRAMEBUFFER, 0);
    glClearColor(kClear[0], kClear[1], kClear[2], kClear[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(0, 0, output_width_, output_height_);
    if (!result || !plain_program_ || !quad_buffer_)
        return;

    gl_api.UseProgram(plain_program_);
    gl_api.ActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, result);
    gl_api.Uniform1i(gl_api.GetUniformLocation(plain_program_, "tex"), 0);
    draw_quad();
    gl_api.UseProgram(0);
}

#include "ui/gl_helpers.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <SDL.h>
#include <stb/stb_image.h>

#include "ui/resources.h"

GlApi gl_api;

namespace {

void *sdl_get_proc(const char *name)
{
    return SDL_GL_GetProcAddress(name);
}

template <typename T>
void load(T &slot, void *(*get_proc)(const char *), const char *name)
{
    slot = reinterpret_cast<T>(get_proc(name));
}

// Shader and link logs go to standard error: the operator never sees them,
// but a driver that rejects the shaders can then be told from a broken build.
void report_log(const char *what, GLuint object, bool program)
{
    GLint length = 0;
    if (program)
        gl_api.GetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
    else
        gl_api.GetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
    char text[1024] = "";
    if (length > 0) {
        if (program)
            gl_api.GetProgramInfoLog(object, sizeof text, nullptr, text);
        else
            gl_api.GetShaderInfoLog(object, sizeof text, nullptr, text);
    }
    fprintf(stderr, "gl: %s failed: %s\n", what, text);
}

} // namespace

int gl_parse_version(const char *text, int *major, int *minor)
{
    *major = *minor = 0;
    if (!text || strncmp(text, "OpenGL ES", 9) == 0)
        return -1;
    int a = 0, b = 0;
    if (sscanf(text, "%d.%d", &a, &b) != 2 || a < 1 || b < 0)
        return -1;
    *major = a;
    *minor = b;
    return 0;
}

GLenum gl_single_channel_format(int major)
{
    return major >= 3 ? GL_RED : GL_LUMINANCE;
}

int gl_load_functions(void *(*get_proc)(const char *name))
{
    if (!get_proc)
        get_proc = sdl_get_proc;
    gl_api = GlApi{};

    const GLubyte *(APIENTRY * get_string)(GLenum) = nullptr;
    load(get_string, get_proc, "glGetString");
    const char *version = get_string ? reinterpret_cast<const char *>(get_string(GL_VERSION)) : nullptr;
    if (gl_parse_version(version, &gl_api.major, &gl_api.minor) < 0)
        return -1;

    load(gl_api.CreateShader, get_proc, "glCreateShader");
    load(gl_api.ShaderSource, get_proc, "glShaderSource");
    load(gl_api.CompileShader, get_proc, "glCompileShader");
    load(gl_api.GetShaderiv, get_proc, "glGetShaderiv");
    load(gl_api.GetShaderInfoLog, get_proc, "glGetShaderInfoLog");
    load(gl_api.DeleteShader, get_proc, "glDeleteShader");
    load(gl_api.CreateProgram, get_proc, "glCreateProgram");
    load(gl_api.AttachShader, get_proc, "glAttachShader");
    load(gl_api.BindAttribLocation, get_proc, "glBindAttribLocation");
    load(gl_api.LinkProgram, get_proc, "glLinkProgram");
    load(gl_api.GetProgramiv, get_proc, "glGetProgramiv");
    load(gl_api.GetProgramInfoLog, get_proc, "glGetProgramInfoLog");
    load(gl_api.DeleteProgram, get_proc, "glDeleteProgram");
    load(gl_api.UseProgram, get_proc, "glUseProgram");
    load(gl_api.GetUniformLocation, get_proc, "glGetUniformLocation");
    load(gl_api.GetAttribLocation, get_proc, "glGetAttribLocation");
    load(gl_api.Uniform1i, get_proc, "glUniform1i");
    load(gl_api.Uniform1f, get_proc, "glUniform1f");
    load(gl_api.VertexAttribPointer, get_proc, "glVertexAttribPointer");
    load(gl_api.EnableVertexAttribArray, get_proc, "glEnableVertexAttribArray");
    load(gl_api.DisableVertexAttribArray, get_proc, "glDisableVertexAttribArray");
    load(gl_api.ActiveTexture, get_proc, "glActiveTexture");
    load(gl_api.GenBuffers, get_proc, "glGenBuffers");
    load(gl_api.BindBuffer, get_proc, "glBindBuffer");
    load(gl_api.BufferData, get_proc, "glBufferData");
    load(gl_api.DeleteBuffers, get_proc, "glDeleteBuffers");
    load(gl_api.IsBuffer, get_proc, "glIsBuffer");
    load(gl_api.MapBuffer, get_proc, "glMapBuffer");
    load(gl_api.UnmapBuffer, get_proc, "glUnmapBuffer");
    if (gl_api.major >= 3) {
        load(gl_api.GenerateMipmap, get_proc, "glGenerateMipmap");
        load(gl_api.GenFramebuffers, get_proc, "glGenFramebuffers");
        load(gl_api.BindFramebuffer, get_proc, "glBindFramebuffer");
        load(gl_api.FramebufferTexture2D, get_proc, "glFramebufferTexture2D");
        load(gl_api.CheckFramebufferStatus, get_proc, "glCheckFramebufferStatus");
        load(gl_api.DeleteFramebuffers, get_proc, "glDeleteFramebuffers");
    }

    if (gl_api.major < 2 || (gl_api.major == 2 && gl_api.minor < 1))
        return -1;
    // Every entry up to DisableVertexAttribArray and the 1.3/1.5 ones are needed.
    const void *needed[] = {
        (void *)gl_api.CreateShader,       (void *)gl_api.ShaderSource,
        (void *)gl_api.CompileShader,      (void *)gl_api.GetShaderiv,
        (void *)gl_api.GetShaderInfoLog,   (void *)gl_api.DeleteShader,
        (void *)gl_api.CreateProgram,      (void *)gl_api.AttachShader,
        (void *)gl_api.BindAttribLocation, (void *)gl_api.LinkProgram,
        (void *)gl_api.GetProgramiv,       (void *)gl_api.GetProgramInfoLog,
        (void *)gl_api.DeleteProgram,      (void *)gl_api.UseProgram,
        (void *)gl_api.GetUniformLocation, (void *)gl_api.GetAttribLocation,
        (void *)gl_api.Uniform1i,          (void *)gl_api.Uniform1f,
        (void *)gl_api.VertexAttribPointer, (void *)gl_api.EnableVertexAttribArray,
        (void *)gl_api.DisableVertexAttribArray, (void *)gl_api.ActiveTexture,
        (void *)gl_api.GenBuffers,         (void *)gl_api.BindBuffer,
        (void *)gl_api.BufferData,         (void *)gl_api.DeleteBuffers,
        (void *)gl_api.IsBuffer,
    };
    for (const void *p : needed)
        if (!p)
            return -1;
    return 0;
}

GLuint gl_compile_shader(GLenum type, const char *text)
{
    GLuint shader = gl_api.CreateShader(type);
    if (!shader)
        return 0;
    gl_api.ShaderSource(shader, 1, &text, nullptr);
    gl_api.CompileShader(shader);
    GLint ok = GL_FALSE;
    gl_api.GetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        report_log(type == GL_VERTEX_SHADER ? "vertex shader" : "fragment shader", shader, false);
        gl_api.DeleteShader(shader);
        return 0;
    }
    return shader;
}

GLuint gl_build_program(const char *vertex_text, const char *fragment_text, const GlAttribBinding *bindings,
                        int count)
{
    GLuint vs = gl_compile_shader(GL_VERTEX_SHADER, vertex_text);
    if (!vs)
        return 0;
    GLuint fs = gl_compile_shader(GL_FRAGMENT_SHADER, fragment_text);
    if (!fs) {
        gl_api.DeleteShader(vs);
        return 0;
    }
    GLuint program = gl_api.CreateProgram();
    if (program) {
        gl_api.AttachShader(program, vs);
        gl_api.AttachShader(program, fs);
        for (int i = 0; bindings && i < count; i++)
            gl_api.BindAttribLocation(program, bindings[i].location, bindings[i].name);
        gl_api.LinkProgram(program);
        GLint ok = GL_FALSE;
        gl_api.GetProgramiv(program, GL_LINK_STATUS, &ok);
        if (ok != GL_TRUE) {
            report_log("program link", program, true);
            gl_api.DeleteProgram(program);
            program = 0;
        }
    }
    // Attached shaders live on inside a linked program; deleting them here
    // only drops our names.
    gl_api.DeleteShader(vs);
    gl_api.DeleteShader(fs);
    return program;
}

uint8_t *image_decode_rgba(const uint8_t *data, size_t size, int *width, int *height)
{
    *width = *height = 0;
    if (!data || size == 0 || size > INT_MAX)
        return nullptr;
    int w = 0, h = 0, channels = 0;
    stbi_uc *pixels = stbi_load_from_memory(data, (int)size, &w, &h, &channels, 4);
    if (!pixels)
        return nullptr;
    *width = w;
    *height = h;
    return pixels;
}

void image_free(uint8_t *pixels)
{
    stbi_image_free(pixels);
}

uint8_t *image_reduce_rgba(const uint8_t *pixels, int width, int height, int factor, int *out_w, int *out_h)
{
    *out_w = *out_h = 0;
    if (!pixels || width < 1 || height < 1 || factor < 1)
        return nullptr;
    const int ow = (width + factor - 1) / factor, oh = (height + factor - 1) / factor;
    auto *out = static_cast<uint8_t *>(malloc((size_t)ow * (size_t)oh * 4));
    if (!out)
        return nullptr;
    std::vector<uint32_t> sums((size_t)ow * 4);
    for (int oy = 0; oy < oh; oy++) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int y0 = oy * factor, y1 = std::min(y0 + factor, height);
        for (int y = y0; y < y1; y++) {
            const uint8_t *row = pixels + (size_t)y * (size_t)width * 4;
            for (int x = 0; x < width; x++)
                for (int c = 0; c < 4; c++)
                    sums[(size_t)(x / factor) * 4 + c] += row[(size_t)x * 4 + c];
        }
        for (int ox = 0; ox < ow; ox++) {
            const uint32_t n = (uint32_t)(y1 - y0) * (uint32_t)(std::min((ox + 1) * factor, width) - ox * factor);
            for (int c = 0; c < 4; c++)
                out[((size_t)oy * ow + ox) * 4 + c] = (uint8_t)((sums[(size_t)ox * 4 + c] + n / 2) / n);
        }
    }
    *out_w = ow;
    *out_h = oh;
    return out;
}

static int upload_rgba(const uint8_t *pixels, int w, int h, GLuint *texture)
{
    *texture = 0;
    glGenTextures(1, texture);
    glBindTexture(GL_TEXTURE_2D, *texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    glBindTexture(GL_TEXTURE_2D, 0);
    return *texture ? 0 : -1;
}

static int texture_from_image(const uint8_t *data, size_t size, GlImage *image, int max_side)
{
    *image = GlImage{};
    int w = 0, h = 0;
    uint8_t *pixels = image_decode_rgba(data, size, &w, &h);
    if (!pixels)
        return -1;
    int factor = 1;
    while (max_side > 0 && (w + factor - 1) / factor > max_side) factor *= 2;
    while (max_side > 0 && (h + factor - 1) / factor > max_side) factor *= 2;
    int tw = w, th = h;
    if (factor > 1) {
        uint8_t *small = image_reduce_rgba(pixels, w, h, factor, &tw, &th);
        image_free(pixels);
        if (!small)
            return -1;
        pixels = small;
    }
    GLuint texture = 0;
    int rc = upload_rgba(pixels, tw, th, &texture);
    image_free(pixels);  // stb's free is the C library's, as is image_reduce_rgba's buffer
    if (rc < 0)
        return -1;
    image->texture = texture;
    image->width = w;
    image->height = h;
    return 0;
}

int gl_texture_from_image(const uint8_t *data, size_t size, GlImage *image)
{
    return texture_from_image(data, size, image, 0);
}

int gl_texture_from_resource(int id, const char *type, GlImage *image, int max_side)
{
    size_t size = 0;
    const uint8_t *data = resource_get(id, type, &size);
    if (!data) {
        *image = GlImage{};
        return -1;
    }
    return texture_from_image(data, size, image, max_side);
}

void gl_image_release(GlImage *image)
{
    if (image->texture)
        glDeleteTextures(1, &image->texture);
    *image = GlImage{};
}

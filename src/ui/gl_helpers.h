// Small OpenGL helpers shared by the video view, the background blur and the
// connection screen: the entry-point table, the shader program builder, image
// decoding and textures made from compressed images.
//
// Context: a compatibility-profile context, any version from 2.1 (GLSL 1.20
// shaders and client-side vertex arrays need one; the UI backend runs its
// "#version 120" shaders in the same context). OpenGL 1.1 functions are called
// directly (the platform's GL library exports them); everything newer goes
// through `gl_api`, filled by gl_load_functions. The table is ours, so nothing
// here depends on the UI backend's private loader, and loading functions the
// backend also loads is harmless.
//
// Threads: gl_load_functions and every gl_* call that touches GL run on the
// thread that holds the context (the UI thread). image_decode_rgba,
// image_free and gl_parse_version touch no GL and may run anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include <GL/gl.h>
#include <GL/glext.h>

struct GlApi {
    // The context's version from GL_VERSION; 0.0 until loaded.
    int major, minor;

    // Shaders and programs (2.0).
    PFNGLCREATESHADERPROC CreateShader;
    PFNGLSHADERSOURCEPROC ShaderSource;
    PFNGLCOMPILESHADERPROC CompileShader;
    PFNGLGETSHADERIVPROC GetShaderiv;
    PFNGLGETSHADERINFOLOGPROC GetShaderInfoLog;
    PFNGLDELETESHADERPROC DeleteShader;
    PFNGLCREATEPROGRAMPROC CreateProgram;
    PFNGLATTACHSHADERPROC AttachShader;
    PFNGLBINDATTRIBLOCATIONPROC BindAttribLocation;
    PFNGLLINKPROGRAMPROC LinkProgram;
    PFNGLGETPROGRAMIVPROC GetProgramiv;
    PFNGLGETPROGRAMINFOLOGPROC GetProgramInfoLog;
    PFNGLDELETEPROGRAMPROC DeleteProgram;
    PFNGLUSEPROGRAMPROC UseProgram;
    PFNGLGETUNIFORMLOCATIONPROC GetUniformLocation;
    PFNGLGETATTRIBLOCATIONPROC GetAttribLocation;
    PFNGLUNIFORM1IPROC Uniform1i;
    PFNGLUNIFORM1FPROC Uniform1f;
    PFNGLVERTEXATTRIBPOINTERPROC VertexAttribPointer;
    PFNGLENABLEVERTEXATTRIBARRAYPROC EnableVertexAttribArray;
    PFNGLDISABLEVERTEXATTRIBARRAYPROC DisableVertexAttribArray;
    // Textures and buffers (1.3, 1.5).
    PFNGLACTIVETEXTUREPROC ActiveTexture;
    PFNGLGENBUFFERSPROC GenBuffers;
    PFNGLBINDBUFFERPROC BindBuffer;
    PFNGLBUFFERDATAPROC BufferData;
    PFNGLDELETEBUFFERSPROC DeleteBuffers;
    PFNGLISBUFFERPROC IsBuffer;
    // Mapping a buffer (1.5), for pixel-buffer uploads; optional, test before
    // calling.
    PFNGLMAPBUFFERPROC MapBuffer;
    PFNGLUNMAPBUFFERPROC UnmapBuffer;
    // Framebuffer objects and mipmap generation (3.0). Null on a 2.x context:
    // test before calling.
    PFNGLGENERATEMIPMAPPROC GenerateMipmap;
    PFNGLGENFRAMEBUFFERSPROC GenFramebuffers;
    PFNGLBINDFRAMEBUFFERPROC BindFramebuffer;
    PFNGLFRAMEBUFFERTEXTURE2DPROC FramebufferTexture2D;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus;
    PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers;
};

extern GlApi gl_api;

// Fills gl_api through get_proc (SDL_GL_GetProcAddress when null); glGetString
// is fetched the same way to read the version. Returns 0 when every 2.0
// entry point is there and the context is 2.1 or newer, -1 otherwise (the
// table then holds what was found; nothing that needs the rest should run).
// The 3.0 entries are set only on a 3.0 or newer context, since some
// platforms hand out stubs for any name.
int gl_load_functions(void *(*get_proc)(const char *name));

// Reads "major.minor" from the start of a GL_VERSION string (desktop GL only:
// "OpenGL ES ..." is refused). 0 on success, -1 otherwise.
int gl_parse_version(const char *text, int *major, int *minor);

// The single-channel texture format for a context of this major version:
// GL_RED from 3.0, GL_LUMINANCE before. Both put the sample in the red channel.
GLenum gl_single_channel_format(int major);

// Compiles one shader. Returns its name, or 0 on failure (the info log goes to
// standard error and the shader is deleted).
GLuint gl_compile_shader(GLenum type, const char *text);

struct GlAttribBinding {
    const char *name;
    GLuint location;
};

// Compiles both shaders, binds the given attribute names to their locations,
// links. Both shader objects are deleted whatever the outcome. Returns the
// program, or 0 when a compile or the link fails (the log goes to standard
// error). bindings may be null with count 0.
GLuint gl_build_program(const char *vertex_text, const char *fragment_text, const GlAttribBinding *bindings,
                        int count);

// Decodes a compressed image (PNG, JPEG, ...) to 8-bit RGBA, rows top first.
// Returns the pixels (free them with image_free) and the size, or null with
// width and height 0 when the bytes are no image this decoder reads.
uint8_t *image_decode_rgba(const uint8_t *data, size_t size, int *width, int *height);
void image_free(uint8_t *pixels);

// Shrinks an RGBA image by an integer factor, each output pixel the average
// (rounded) of a factor x factor box; the last row and column of boxes take
// what is left when a side is not a multiple. Output is ceil(width / factor)
// x ceil(height / factor); returns it (free with image_free), or null when a
// size or the factor is below 1 or memory runs out. Pure.
uint8_t *image_reduce_rgba(const uint8_t *pixels, int width, int height, int factor, int *out_w, int *out_h);

// An image as a texture; all zero when absent.
struct GlImage {
    GLuint texture;
    int width, height;
};

// Zeroes *image, decodes the bytes and uploads them as an RGBA texture with
// linear filters and clamp-to-edge wrapping. 0 on success, -1 when the image
// does not decode (the record stays zero).
int gl_texture_from_image(const uint8_t *data, size_t size, GlImage *image);

// The same for an embedded resource (ui/resources.h). -1 when it is missing.
// With max_side above 0, an image with a side longer than that is shrunk by
// the smallest power of two that fits before the upload, while width and
// height keep the image's own size: for a picture that is only ever drawn
// shrunk (the blurred photo), so that it does not hold tens of megabytes of
// texture memory for detail nobody sees.
int gl_texture_from_resource(int id, const char *type, GlImage *image, int max_side = 0);

// Deletes the texture when there is one and zeroes the record.
void gl_image_release(GlImage *image);

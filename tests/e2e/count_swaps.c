/* Preloaded into the viewer by the end-to-end test of its frame loop: counts
 * the window's buffer swaps (every frame drawn ends in one) and keeps the
 * count, as 20 digits and a newline, at the start of the file named by
 * KAVRI_SWAP_COUNT. Only the UI thread swaps. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

void SDL_GL_SwapWindow(void *window)
{
    static void (*real)(void *);
    static unsigned long long swaps;
    static int fd = -2;
    if (!real)
        *(void **)&real = dlsym(RTLD_NEXT, "SDL_GL_SwapWindow");
    if (real)
        real(window);
    if (fd == -2) {
        const char *path = getenv("KAVRI_SWAP_COUNT");
        fd = path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    }
    if (fd >= 0) {
        char text[32];
        int n = snprintf(text, sizeof text, "%020llu\n", ++swaps);
        if (pwrite(fd, text, (size_t)n, 0) != n)
            fd = -1;
    }
}

// Libraries the viewer needs only for some features (recording a stream, the
// HTTPS update check) are loaded when the feature is first used: linked at
// start-up, they and the dozens of libraries they depend on would be mapped
// and relocated in every run, several megabytes of memory that most runs
// never use. A library once loaded stays loaded.
#pragma once

#include <dlfcn.h>

// The library by its versioned name (libfoo.so.N, the one the headers the
// program was built with belong to), or null.
inline void *dynlib_open(const char *soname)
{
    return dlopen(soname, RTLD_NOW | RTLD_LOCAL);
}

// Sets *fn to the library's function `name`; false when it has none.
template <typename F>
bool dynlib_find(void *lib, const char *name, F *fn)
{
    *fn = lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
    return *fn != nullptr;
}

#include "firmware/http_client.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/dynlib.h"

namespace {

// libcurl's functions, loaded with the first request.
struct Curl {
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) init;
    decltype(&curl_easy_setopt) setopt;
    decltype(&curl_easy_perform) perform;
    decltype(&curl_easy_getinfo) getinfo;
    decltype(&curl_easy_cleanup) cleanup;
};

// Null when the library or one of its functions is missing. curl_global_init
// is not safe to race with itself: it runs here, once per process.
const Curl *curl_api()
{
    static const Curl *api = []() -> const Curl * {
        static Curl c{};
        void *lib = dynlib_open("libcurl.so.4");
        const bool ok = dynlib_find(lib, "curl_global_init", &c.global_init) &&
                        dynlib_find(lib, "curl_easy_init", &c.init) && dynlib_find(lib, "curl_easy_setopt", &c.setopt) &&
                        dynlib_find(lib, "curl_easy_perform", &c.perform) &&
                        dynlib_find(lib, "curl_easy_getinfo", &c.getinfo) &&
                        dynlib_find(lib, "curl_easy_cleanup", &c.cleanup);
        if (!ok) {
            std::fprintf(stderr, "https: libcurl.so.4 cannot be loaded: %s\n", lib ? "a function is missing" : dlerror());
            return nullptr;
        }
        c.global_init(CURL_GLOBAL_DEFAULT);
        return &c;
    }();
    return api;
}

struct Body {
    uint8_t *data = nullptr;
    size_t size = 0, cap = 0, max = 0;
    bool too_big = false;
};

size_t on_data(char *ptr, size_t one, size_t n, void *user)
{
    Body *b = (Body *)user;
    size_t add = one * n;
    if (b->max && (add > b->max || b->size > b->max - add)) {
        b->too_big = true;
        return 0;  // curl ends the transfer with a write error
    }
    if (b->size + add + 1 > b->cap) {
        size_t cap = b->cap ? b->cap : 16384;
        while (cap < b->size + add + 1)
            cap *= 2;
        uint8_t *grown = (uint8_t *)realloc(b->data, cap);
        if (!grown)
            return 0;
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->size, ptr, add);
    b->size += add;
    b->data[b->size] = 0;
    return add;
}

int on_progress(void *user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t)
{
    const HttpOptions *o = (const HttpOptions *)user;
    return o->progress(o->progress_context, dlnow > 0 ? (uint64_t)dlnow : 0,
                       dltotal > 0 ? (uint64_t)dltotal : 0) ? 1 : 0;
}

}  // namespace

int http_get(const char *url, const HttpOptions *o, uint8_t **body, size_t *size)
{
    if (body)
        *body = nullptr;
    if (size)
        *size = 0;
    if (!url || !o || !body || !size)
        return -1;
    const Curl *curl = curl_api();
    CURL *c = curl ? curl->init() : nullptr;
    if (!c)
        return -1;
    Body b;
    b.max = o->max_bytes;
    curl->setopt(c, CURLOPT_URL, url);
    curl->setopt(c, CURLOPT_HTTPGET, 1L);
    curl->setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl->setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl->setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl->setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (o->ca_file && o->ca_file[0])
        curl->setopt(c, CURLOPT_CAINFO, o->ca_file);
    // Worker threads must not have curl play with signals for its time-outs.
    curl->setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl->setopt(c, CURLOPT_TIMEOUT_MS, o->timeout_ms > 0 ? o->timeout_ms : 0L);
    curl->setopt(c, CURLOPT_WRITEFUNCTION, on_data);
    curl->setopt(c, CURLOPT_WRITEDATA, &b);
    if (o->progress) {
        curl->setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl->setopt(c, CURLOPT_XFERINFODATA, (void *)o);
        curl->setopt(c, CURLOPT_NOPROGRESS, 0L);
    }
    CURLcode rc = curl->perform(c);
    long status = 0;
    curl->getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl->cleanup(c);
    // An error page is not the resource: counting its body as the build text
    // or the image would report "up to date" or "corrupted" for a server fault.
    if (rc != CURLE_OK || b.too_big || status < 200 || status > 299) {
        free(b.data);
        return -1;
    }
    if (!b.data) {  // empty body: still a valid, zero-terminated buffer
        b.data = (uint8_t *)calloc(1, 1);
        if (!b.data)
            return -1;
    }
    *body = b.data;
    *size = b.size;
    return 0;
}

void http_free(uint8_t *body)
{
    free(body);
}

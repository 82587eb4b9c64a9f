// A small HTTPS GET on libcurl for the update worker.
//
// Certificate and host-name verification are always on; the only way to
// trust another server is a CA bundle (ca_file), as the tests do with their
// own CA. Only https URLs are fetched, redirects are not followed, and the
// request carries no extra headers and no body.
//
// Thread rules: any thread; each call makes its own handle. The progress
// callback runs on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct HttpOptions {
    const char *ca_file;   // PEM bundle to trust instead of the system's store; null or "": system
    long timeout_ms;       // whole request, connection included
    size_t max_bytes;      // a larger body fails the request (0: no limit)
    // Called as the body arrives (and about once a second while waiting):
    // bytes so far and the announced total (0 when unknown). A nonzero
    // return abandons the request, which then fails.
    int (*progress)(void *context, uint64_t now, uint64_t total);
    void *progress_context;
};

// Fetches url. On success returns 0 with *body (malloc'd, caller frees with
// http_free; one spare zero byte follows the body) and *size. A transport or
// TLS failure, a time-out, a body over max_bytes, or a status outside 200-299
// returns -1 with *body null and *size 0.
int http_get(const char *url, const HttpOptions *options, uint8_t **body, size_t *size);
void http_free(uint8_t *body);

// libFuzzer harness for the H.264 NAL locator and SPS parser: the input is
// taken as a configuration packet (the decoder's path through the locator
// and the parser) and as a bare SPS payload.
#include "fuzz.h"
#include "media/sps_pps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t length = size > UINT32_MAX ? UINT32_MAX : (uint32_t)size;

    NalLocation loc;
    nal_locate(data, length, &loc);
    // What the locator reports must describe bytes inside the packet. The
    // starts are "header - 4" modulo 2^32 (they wrap behind a three-byte
    // start code at offset 0), so the sums are taken the same way.
    FUZZ_FAIL_IF(loc.position > length);
    FUZZ_FAIL_IF(loc.found && (loc.sps_size == 0 || loc.position >= length));
    FUZZ_FAIL_IF(loc.sps_size != 0 && (uint32_t)(loc.pps_start + loc.pps_size) > length);
    FUZZ_FAIL_IF(loc.found && (uint32_t)(loc.pps_start + loc.pps_size) != loc.position);

    SpsRecord sps = {};
    int width = -1, height = -1;
    if (h264_config_visible_size(data, length, &width, &height) == 0) {
        FUZZ_FAIL_IF(width < 0 || height < 0);
        FUZZ_FAIL_IF(h264_config_sps(data, length, &sps) != 0);
    }

    if (data)
        sps_parse(data, length, &sps);
    sps_visible_size(&sps, &width, &height);
    return 0;
}

// Fuzzes the Annex B splitter behind the simulated dongle's `--video FILE`,
// and checks the shape of what it produces: every access unit and the codec
// header are NAL units behind four-byte start codes, units begin with a slice.
//
// The splitter is compiled into the harness directly: it depends on nothing
// but the standard library, while the rest of the simulator needs FFmpeg.
#include <cstdint>
#include <cstdlib>

#include "../tools/dongle_sim/annexb_file.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AnnexbStream s;
    int n = annexb_split(data, size, &s);
    if (n < 0 || (size_t)n != s.units.size() || s.idr.size() != s.units.size())
        std::abort();
    for (size_t i = 0; i < s.units.size(); i++) {
        const std::vector<uint8_t> &u = s.units[i];
        if (u.size() < 5 || u[0] || u[1] || u[2] || u[3] != 1)
            std::abort();
        int type = u[4] & 0x1F;
        if (type < 1 || type > 5 || s.idr[i] != (type == 5))
            std::abort();
    }
    if (!s.codec_header.empty()) {
        const std::vector<uint8_t> &h = s.codec_header;
        if (h.size() < 5 || h[3] != 1 || (h[4] & 0x1F) != ANNEXB_NAL_SPS)
            std::abort();
    }
    if (s.sps_count > ANNEXB_MAX_PARAM_SETS || s.pps_count > ANNEXB_MAX_PARAM_SETS)
        std::abort();
    size_t cursor = 0;
    bool idr = false;
    for (int i = 0; i < 3; i++) {
        const std::vector<uint8_t> *u = annexb_stream_next(&s, &cursor, &idr);
        if ((u == nullptr) != (s.first_idr >= s.units.size()))
            std::abort();
    }
    return 0;
}

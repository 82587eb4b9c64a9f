// Replays files through a libFuzzer harness without libFuzzer, so that seed
// corpora and kept crash inputs run as ordinary tests in every build.
// Usage: <harness>_replay PATH... (files, or folders whose files are replayed)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replay_file(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", p.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, so that the address sanitizer sees
    // any read past the input's end.
    uint8_t *copy = new uint8_t[bytes.size() ? bytes.size() : 1];
    if (!bytes.empty())
        std::memcpy(copy, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    delete[] copy;
    return 0;
}

int main(int argc, char **argv)
{
    size_t count = 0;
    int failures = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(arg)) {
                if (e.is_regular_file()) {
                    failures += replay_file(e.path());
                    count++;
                }
            }
        } else {
            failures += replay_file(arg);
            count++;
        }
    }
    static const uint8_t empty[1] = {0};
    LLVMFuzzerTestOneInput(empty, 0);
    std::printf("replayed %zu inputs\n", count);
    if (count == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    return failures ? 1 : 0;
}

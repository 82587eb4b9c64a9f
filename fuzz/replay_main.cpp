// Replays files through a libFuzzer harness without libFuzzer, so that seed
// corpora and kept crash inputs run as ordinary tests in every build.
// Usage: <harness>_replay PATH... (files, or folders whose files are replayed)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; i++) {
        if (!std::filesystem::is_directory(argv[i]))
            files.emplace_back(argv[i]);
        else
            for (const auto &e : std::filesystem::recursive_directory_iterator(argv[i]))
                if (e.is_regular_file())
                    files.push_back(e.path());
    }
    for (const auto &p : files) {
        std::ifstream in(p, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", p.c_str());
            return 1;
        }
        // A copy of exactly the file's size (new[] of an empty file's size
        // included), so that the address sanitizer sees any read past the end.
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    }
    static const uint8_t empty[1] = {0};
    LLVMFuzzerTestOneInput(empty, 0);
    std::printf("replayed %zu inputs\n", files.size());
    if (files.empty())
        std::fprintf(stderr, "no inputs found\n");
    return files.empty() ? 1 : 0;
}

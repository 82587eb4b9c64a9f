// setting.dat: byte layout, the block-by-block loader, and safe replacement.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/settings_file.h"
#include "support/bytes.h"

namespace fs = std::filesystem;

namespace {

// A /24 network as the list holds it: bytes a, b, c, 0 in memory.
uint32_t net(uint8_t a, uint8_t b, uint8_t c)
{
    const uint8_t bytes[4] = {a, b, c, 0};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

Bytes read_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint32_t> parse(const Bytes &b, std::vector<uint32_t> start = {})
{
    Exact copy(b);
    settings_parse(copy.p, copy.n, &start);
    return start;
}

// Magic, count, /24 networks, end marker.
const Bytes kEmpty = unhex("af23c03b 00000000 09badcfe");
const Bytes kTwo = unhex("af23c03b 02000000 c0a80500 0a000100 09badcfe");

class SettingsFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kavri-settings-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (auto &[name, v] : env)
            if (const char *s = std::getenv(name))
                v = s;
        subnet_list().clear();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
        for (auto &[name, v] : env)
            v ? setenv(name, v->c_str(), 1) : unsetenv(name);
        subnet_list().clear();
    }
    std::vector<fs::path> files_in(const fs::path &folder)
    {
        std::vector<fs::path> out;
        for (auto &e : fs::directory_iterator(folder))
            out.push_back(e.path().filename());
        return out;
    }

    fs::path dir;
    std::pair<const char *, std::optional<std::string>> env[2] = {{"HOME", {}}, {"XDG_DATA_HOME", {}}};
};

} // namespace

TEST(SettingsFormat, LiteralBytesBothWays)
{
    EXPECT_EQ(settings_serialize({}), kEmpty);
    EXPECT_EQ(settings_serialize({net(192, 168, 5), net(10, 0, 1)}), kTwo);
    std::vector<uint32_t> list;
    for (int i = 0; i < 101; i++)
        list.push_back(net(10, 1, (uint8_t)i));
    Bytes b = settings_serialize(list); // more than a hundred is saved whole...
    ASSERT_EQ(b.size(), 12u + 404u);
    EXPECT_EQ(hex(b.data() + 4, 4) + hex(b.data() + 408, 8), "65000000" "0a016400" "09badcfe");
    EXPECT_TRUE(parse(b).empty()); // ...and does not load back

    const std::vector<uint32_t> old = {net(7, 7, 7)}, two = {net(192, 168, 5), net(10, 0, 1)};
    Bytes hundred = unhex("af23c03b 64000000");
    hundred.resize(8 + 400, 0x01);
    const struct {
        Bytes file;
        std::vector<uint32_t> want; // loaded over {7.7.7}
    } rows[] = {
        {kTwo, two},
        {kEmpty, {}},                                                    // a block empties the list first
        {unhex("af23c03b 65000000 c0a80500 09badcfe"), old},            // a count above 100 loads nothing
        {unhex("af23c03b 03000000 c0a80500 0a0001"), {net(192, 168, 5)}}, // cut inside a value
        {unhex("af23c03b 02000000"), {}},                                // cut right after the count
        {unhex("af23c03b 0200"), old},                                   // cut inside the count
        {Bytes(kTwo.begin(), kTwo.end() - 2), two},                      // no whole end marker
        {unhex("af23c03b 01000000 01020300 af23c03b 02000000 0a0b0c00 14151600 09badcfe"),
         {net(10, 11, 12), net(20, 21, 22)}},                            // the last complete block
        {unhex("af23c03b 01000000 01020300 af23c03b 65000000 0a0b0c00"), {net(1, 2, 3)}},
        {cat({kTwo, unhex("af23c03b 01000000 05050500")}), two},         // nothing after the end marker
        {unhex("09badcfe af23c03b 01000000 01020300"), old},             // not starting with the magic
        {{}, old},
        {unhex("af23c0"), old},
    };
    for (const auto &r : rows)
        EXPECT_EQ(parse(r.file, old), r.want) << hex(r.file);
    EXPECT_EQ(parse(hundred).size(), 100u); // exactly 100 is accepted
}

TEST_F(SettingsFolder, PathFollowsXdgDataHome)
{
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    EXPECT_EQ(settings_path(), dir.string() + "/KAVRI/KAVRIViewer/setting.dat");

    setenv("HOME", (dir / "home").c_str(), 1);
    for (const char *xdg : {(const char *)nullptr, "relative/data", ""}) { // unset, relative (invalid), empty
        xdg ? setenv("XDG_DATA_HOME", xdg, 1) : unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(settings_path(), (dir / "home").string() + "/.local/share/KAVRI/KAVRIViewer/setting.dat") << xdg;
    }
}

// (Saving byte for byte from the Settings window is the settings end-to-end test.)
TEST_F(SettingsFolder, SaveAndLoadRoundTripCreatesTheFolder)
{
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    fs::path folder = dir / "data" / "KAVRI" / "KAVRIViewer";
    settings_load(); // with no file: creates the folder, leaves the list empty
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(subnet_list().empty());
    subnet_list() = {net(192, 168, 5), net(10, 0, 1)};
    fs::remove_all(dir / "data"); // removed in between: saving re-creates it
    settings_save();
    EXPECT_EQ(read_bytes(folder / "setting.dat"), kTwo);
    EXPECT_EQ(files_in(folder), (std::vector<fs::path>{"setting.dat"}));
    subnet_list().clear();
    settings_load();
    EXPECT_EQ(subnet_list(), (std::vector<uint32_t>{net(192, 168, 5), net(10, 0, 1)}));
}

TEST_F(SettingsFolder, LoadOfMissingOrUnreadableFileKeepsTheList)
{
    std::vector<uint32_t> list = {net(7, 7, 7)};
    fs::create_directories(dir / "isdir" / "setting.dat");
    for (const char *p : {"none/setting.dat", "isdir/setting.dat"}) {
        EXPECT_EQ(settings_load_from((dir / p).string(), &list), -1) << p;
        EXPECT_EQ(list, (std::vector<uint32_t>{net(7, 7, 7)}));
    }
}

TEST_F(SettingsFolder, FailedWriteLeavesOldFileWhole)
{
    fs::path file = dir / "setting.dat";
    ASSERT_EQ(settings_save_to(file.string(), {net(192, 168, 5), net(10, 0, 1)}), 0);
    ASSERT_EQ(read_bytes(file), kTwo);

    // The disk "fills up" after 8 bytes: the new contents cannot be written.
    std::vector<uint32_t> bigger;
    for (int i = 0; i < 10; i++)
        bigger.push_back(net(10, 0, (uint8_t)i));
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = settings_save_to(file.string(), bigger);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_bytes(file), kTwo);
    EXPECT_EQ(files_in(dir), (std::vector<fs::path>{"setting.dat"})); // no leftovers
    fs::create_directories(dir / "folder" / "setting.dat" / "inside"); // a folder in the way
    EXPECT_EQ(settings_save_to((dir / "folder" / "setting.dat").string(), {net(1, 2, 3)}), -1);
    EXPECT_TRUE(fs::is_directory(dir / "folder" / "setting.dat" / "inside"));
}


// setting.dat: byte layout, the block-by-block loader, and safe replacement.
#include <sys/wait.h>

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
#include <memory>
#include <string>
#include <vector>

#include "app/settings_file.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

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
    // Exact-size copy so that a read past the end is caught by the sanitizer.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[b.size() ? b.size() : 1]);
    if (!b.empty())
        std::memcpy(copy.get(), b.data(), b.size());
    settings_parse(copy.get(), b.size(), &start);
    return start;
}

const Bytes kEmpty = {0xAF, 0x23, 0xC0, 0x3B, 0x00, 0x00, 0x00, 0x00, 0x09, 0xBA, 0xDC, 0xFE};
const Bytes kTwo = {0xAF, 0x23, 0xC0, 0x3B, 0x02, 0x00, 0x00, 0x00, 0xC0, 0xA8,
                    0x05, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x09, 0xBA, 0xDC, 0xFE};

class SettingsFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kavri-settings-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        save_env("HOME", &home);
        save_env("XDG_DATA_HOME", &xdg);
        subnet_list().clear();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto &e : fs::recursive_directory_iterator(dir, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
        restore_env("HOME", home);
        restore_env("XDG_DATA_HOME", xdg);
        subnet_list().clear();
    }
    static void save_env(const char *name, std::pair<bool, std::string> *out)
    {
        const char *v = std::getenv(name);
        *out = {v != nullptr, v ? v : ""};
    }
    static void restore_env(const char *name, const std::pair<bool, std::string> &v)
    {
        if (v.first)
            setenv(name, v.second.c_str(), 1);
        else
            unsetenv(name);
    }
    std::vector<fs::path> files_in(const fs::path &folder)
    {
        std::vector<fs::path> out;
        for (auto &e : fs::directory_iterator(folder))
            out.push_back(e.path().filename());
        return out;
    }

    fs::path dir;
    std::pair<bool, std::string> home, xdg;
};

} // namespace

TEST(SettingsFormat, EmptyListIsTwelveBytes)
{
    EXPECT_EQ(settings_serialize({}), kEmpty);
}

TEST(SettingsFormat, TwoSubnetsLiteralBytes)
{
    EXPECT_EQ(settings_serialize({net(192, 168, 5), net(10, 0, 1)}), kTwo);
}

TEST(SettingsFormat, ListOfMoreThanHundredIsSavedWhole)
{
    std::vector<uint32_t> list;
    for (int i = 0; i < 101; i++)
        list.push_back(net(10, 1, (uint8_t)i));
    Bytes b = settings_serialize(list);
    ASSERT_EQ(b.size(), 12u + 404u);
    EXPECT_EQ(b[4], 0x65);
    EXPECT_EQ(b[5], 0x00);
    EXPECT_EQ(b[8 + 4 * 100 + 2], 100);
    EXPECT_EQ(b[412], 0x09);
    EXPECT_EQ(b[415], 0xFE);
    // ...and does not load back.
    EXPECT_TRUE(parse(b).empty());
}

TEST(SettingsLoad, LiteralFileYieldsItsValues)
{
    EXPECT_EQ(parse(kTwo), (std::vector<uint32_t>{net(192, 168, 5), net(10, 0, 1)}));
    EXPECT_TRUE(parse(kEmpty, {net(1, 2, 3)}).empty()); // a block empties the list first
}

TEST(SettingsLoad, CountAboveHundredLoadsNothing)
{
    Bytes b = {0xAF, 0x23, 0xC0, 0x3B, 0x65, 0x00, 0x00, 0x00, 0xC0, 0xA8, 0x05, 0x00,
               0x09, 0xBA, 0xDC, 0xFE};
    EXPECT_TRUE(parse(b).empty());
    // The list is left as it was, not emptied.
    EXPECT_EQ(parse(b, {net(7, 7, 7)}), (std::vector<uint32_t>{net(7, 7, 7)}));
    // A count of exactly 100 is accepted.
    Bytes hundred = {0xAF, 0x23, 0xC0, 0x3B, 0x64, 0x00, 0x00, 0x00};
    hundred.resize(8 + 400, 0x01);
    EXPECT_EQ(parse(hundred).size(), 100u);
}

TEST(SettingsLoad, CutInsideValuesKeepsThoseBeforeTheCut)
{
    Bytes cut = {0xAF, 0x23, 0xC0, 0x3B, 0x03, 0x00, 0x00, 0x00,
                 0xC0, 0xA8, 0x05, 0x00, 0x0A, 0x00, 0x01};
    EXPECT_EQ(parse(cut), (std::vector<uint32_t>{net(192, 168, 5)}));
    // Cut right after the count: the block has emptied the list.
    Bytes after_count = {0xAF, 0x23, 0xC0, 0x3B, 0x02, 0x00, 0x00, 0x00};
    EXPECT_TRUE(parse(after_count, {net(7, 7, 7)}).empty());
    // Cut inside the count: nothing changes.
    Bytes in_count = {0xAF, 0x23, 0xC0, 0x3B, 0x02, 0x00};
    EXPECT_EQ(parse(in_count, {net(7, 7, 7)}), (std::vector<uint32_t>{net(7, 7, 7)}));
    // No end marker after a complete block: the values stay.
    Bytes no_end(kTwo.begin(), kTwo.end() - 4);
    EXPECT_EQ(parse(no_end).size(), 2u);
    Bytes half_end(kTwo.begin(), kTwo.end() - 2);
    EXPECT_EQ(parse(half_end).size(), 2u);
}

TEST(SettingsLoad, SeveralBlocksYieldTheLastComplete)
{
    Bytes b = {0xAF, 0x23, 0xC0, 0x3B, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x00,
               0xAF, 0x23, 0xC0, 0x3B, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x0B, 0x0C, 0x00,
               0x14, 0x15, 0x16, 0x00, 0x09, 0xBA, 0xDC, 0xFE};
    EXPECT_EQ(parse(b), (std::vector<uint32_t>{net(10, 11, 12), net(20, 21, 22)}));

    // A second block declaring 101 values leaves the first block's list.
    Bytes c = {0xAF, 0x23, 0xC0, 0x3B, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x00,
               0xAF, 0x23, 0xC0, 0x3B, 0x65, 0x00, 0x00, 0x00, 0x0A, 0x0B, 0x0C, 0x00};
    EXPECT_EQ(parse(c), (std::vector<uint32_t>{net(1, 2, 3)}));

    // Anything after the end marker is not read.
    Bytes d = kTwo;
    d.insert(d.end(), {0xAF, 0x23, 0xC0, 0x3B, 0x01, 0x00, 0x00, 0x00, 0x05, 0x05, 0x05, 0x00});
    EXPECT_EQ(parse(d).size(), 2u);
}

TEST(SettingsLoad, FileNotStartingWithMagicLeavesListUntouched)
{
    Bytes b = {0x09, 0xBA, 0xDC, 0xFE, 0xAF, 0x23, 0xC0, 0x3B, 0x01, 0x00, 0x00, 0x00,
               0x01, 0x02, 0x03, 0x00};
    EXPECT_TRUE(parse(b).empty());
    EXPECT_EQ(parse(b, {net(7, 7, 7)}), (std::vector<uint32_t>{net(7, 7, 7)}));
    Bytes swapped = {0x3B, 0xC0, 0x23, 0xAF, 0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(parse(swapped).empty());
    EXPECT_TRUE(parse({}).empty());
    EXPECT_TRUE(parse({0xAF, 0x23, 0xC0}).empty());
}

TEST_F(SettingsFolder, PathFollowsXdgDataHome)
{
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    EXPECT_EQ(settings_path(), dir.string() + "/KAVRI/KAVRIViewer/setting.dat");

    setenv("HOME", (dir / "home").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(settings_path(), (dir / "home").string() + "/.local/share/KAVRI/KAVRIViewer/setting.dat");
    // A relative XDG_DATA_HOME is invalid and ignored.
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(settings_path(), (dir / "home").string() + "/.local/share/KAVRI/KAVRIViewer/setting.dat");
    setenv("XDG_DATA_HOME", "", 1);
    EXPECT_EQ(settings_path(), (dir / "home").string() + "/.local/share/KAVRI/KAVRIViewer/setting.dat");
}

TEST_F(SettingsFolder, SaveAndLoadRoundTripCreatesTheFolder)
{
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    fs::path folder = dir / "data" / "KAVRI" / "KAVRIViewer";
    ASSERT_FALSE(fs::exists(dir / "data"));

    // Loading with no file creates the folder and leaves the list empty.
    settings_load();
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(subnet_list().empty());

    subnet_list() = {net(192, 168, 5), net(10, 0, 1)};
    settings_save();
    EXPECT_EQ(read_bytes(folder / "setting.dat"), kTwo);
    EXPECT_EQ(files_in(folder), (std::vector<fs::path>{"setting.dat"}));

    subnet_list().clear();
    settings_load();
    EXPECT_EQ(subnet_list(), (std::vector<uint32_t>{net(192, 168, 5), net(10, 0, 1)}));

    // Saving again replaces the file.
    subnet_list().clear();
    settings_save();
    EXPECT_EQ(read_bytes(folder / "setting.dat"), kEmpty);

    // Saving into a folder that was removed in between re-creates it.
    fs::remove_all(dir / "data");
    settings_save();
    EXPECT_EQ(read_bytes(folder / "setting.dat"), kEmpty);
}

TEST_F(SettingsFolder, LoadOfMissingOrUnreadableFileKeepsTheList)
{
    std::vector<uint32_t> list = {net(7, 7, 7)};
    EXPECT_EQ(settings_load_from((dir / "none" / "setting.dat").string(), &list), -1);
    EXPECT_EQ(list, (std::vector<uint32_t>{net(7, 7, 7)}));
    fs::create_directories(dir / "isdir" / "setting.dat");
    EXPECT_EQ(settings_load_from((dir / "isdir" / "setting.dat").string(), &list), -1);
    EXPECT_EQ(list, (std::vector<uint32_t>{net(7, 7, 7)}));
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
}

TEST_F(SettingsFolder, SaveOverAFolderFailsCleanly)
{
    fs::path file = dir / "setting.dat";
    fs::create_directories(file / "inside");
    EXPECT_EQ(settings_save_to(file.string(), {net(1, 2, 3)}), -1);
    EXPECT_TRUE(fs::is_directory(file / "inside"));
    EXPECT_EQ(files_in(dir), (std::vector<fs::path>{"setting.dat"}));
}

TEST_F(SettingsFolder, SaveIntoReadOnlyFolderLeavesOldFile)
{
    fs::path file = dir / "setting.dat";
    ASSERT_EQ(settings_save_to(file.string(), {net(192, 168, 5), net(10, 0, 1)}), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(settings_save_to(file.string(), {}), -1);
    } else {
        // Permissions do not bind root: save as an unprivileged user instead.
        ASSERT_EQ(chmod(file.c_str(), 0644), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            _exit(settings_save_to(file.string(), {}) == -1 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the save into a read-only folder must fail";
    }
    EXPECT_EQ(read_bytes(file), kTwo);
}

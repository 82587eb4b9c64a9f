// setting.dat (byte layout, loader, layout record, safe replacement) and
// alias.txt (line rule, look-up, loader limits; random lines are the fuzz harness's).
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

#include "app/alias_file.h"
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

std::vector<uint32_t> parse(const Bytes &b, std::vector<uint32_t> start = {})
{
    Exact copy(b);
    settings_parse(copy.p, copy.n, &start);
    return start;
}

using Row = std::pair<std::string, std::string>; // alias, key

std::vector<Row> rows(const std::vector<AliasEntry> &list)
{
    std::vector<Row> out;
    for (const auto &e : list)
        out.push_back({e.alias, e.key});
    return out;
}

std::vector<Row> parse(const std::string &text)
{
    Exact copy(Bytes(text.begin(), text.end())); // a read past the end is caught by the sanitizer
    return rows(alias_parse((const char *)copy.p, copy.n));
}

Bytes read_bytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &p, const std::string &s) { std::ofstream(p, std::ios::binary) << s; }

// Magic, count, /24 networks, end marker; then the layout record "TKBL", length, "de".
const Bytes kEmpty = unhex("af23c03b 00000000 09badcfe");
const Bytes kTwo = unhex("af23c03b 02000000 c0a80500 0a000100 09badcfe");
const Bytes kLayoutDe = unhex("544b424c 02000000 6465");

class FileFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kavri-files-XXXXXX";
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
    static long files_in(const fs::path &folder) { return std::distance(fs::directory_iterator(folder), {}); }

    fs::path dir;
    std::pair<const char *, std::optional<std::string>> env[2] = {{"HOME", {}}, {"XDG_DATA_HOME", {}}};
};

} // namespace

TEST(SettingsFormat, LiteralBytesBothWays)
{
    EXPECT_EQ(settings_serialize({}), kEmpty);
    EXPECT_EQ(settings_serialize({net(192, 168, 5), net(10, 0, 1)}), kTwo);
    const std::vector<uint32_t> list(101, net(10, 1, 100));
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
        {unhex("af23c03b 0200"), old},                                   // cut inside the count
        {Bytes(kTwo.begin(), kTwo.end() - 2), two},                      // no whole end marker
        {unhex("af23c03b 01000000 01020300 af23c03b 02000000 0a0b0c00 14151600 09badcfe"),
         {net(10, 11, 12), net(20, 21, 22)}},                            // the last complete block
        {cat({kTwo, unhex("af23c03b 01000000 05050500")}), two},         // nothing after the end marker
        {unhex("09badcfe af23c03b 01000000 01020300"), old},             // not starting with the magic
        {{}, old},
    };
    for (const auto &r : rows)
        EXPECT_EQ(parse(r.file, old), r.want) << hex(r.file);
    EXPECT_EQ(parse(hundred).size(), 100u); // exactly 100 is accepted
}

TEST(SettingsFormat, KeyboardLayoutAfterTheEndMarkerWhereAListReaderNeverLooks)
{
    const Bytes file = cat({kTwo, kLayoutDe});
    EXPECT_EQ(settings_serialize({net(192, 168, 5), net(10, 0, 1)}, "de"), file);
    EXPECT_EQ(settings_serialize({net(192, 168, 5), net(10, 0, 1)}, "us"), kTwo); // the default is not written
    EXPECT_EQ(parse(file), (std::vector<uint32_t>{net(192, 168, 5), net(10, 0, 1)}));
    const struct {
        Bytes bytes;
        int found;
        std::string layout; // starting from "us"
    } rows[] = {
        {file, 1, "de"},
        {kTwo, 0, "us"}, // an old file
        // An unknown record is skipped; "ch(fr)" is a layout with its variant.
        {cat({kTwo, unhex("58585858 01000000 00 544b424c 06000000 6368286672 29")}), 1, "ch(fr)"},
        {Bytes(file.begin(), file.end() - 1), 0, "us"},           // cut
        {cat({kTwo, unhex("544b424c 02000000 2e2f")}), 0, "us"}, // "./": not a name
        {cat({kTwo, unhex("544b424c 01100000 64")}), 0, "us"},   // over 4096
        {cat({Bytes(4, 0), kLayoutDe}), 0, "us"},                 // no block, no end marker
    };
    for (const auto &r : rows) {
        std::string layout = "us";
        EXPECT_EQ(settings_parse_layout(r.bytes.data(), r.bytes.size(), &layout), r.found) << r.layout;
        EXPECT_EQ(layout, r.layout);
    }
}

TEST_F(FileFolder, PathFollowsXdgDataHomeAndSavingAndLoadingCreateTheFolder)
{
    setenv("HOME", (dir / "home").c_str(), 1);
    for (const char *xdg : {(const char *)nullptr, "relative/data"}) { // unset, relative (invalid)
        xdg ? setenv("XDG_DATA_HOME", xdg, 1) : unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(settings_path(), (dir / "home").string() + "/.local/share/KAVRI/KAVRIViewer/setting.dat") << xdg;
    }
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    const fs::path folder = dir / "data" / "KAVRI" / "KAVRIViewer";
    EXPECT_EQ(settings_path(), (folder / "setting.dat").string());
    settings_load(); // with no file: creates the folder, leaves the list empty
    EXPECT_TRUE(fs::is_directory(folder) && subnet_list().empty());
    subnet_list() = {net(192, 168, 5), net(10, 0, 1)};
    fs::remove_all(dir / "data"); // removed in between: saving re-creates it
    settings_save();
    EXPECT_EQ(read_bytes(folder / "setting.dat"), kTwo);
    EXPECT_EQ(files_in(folder), 1);
    subnet_list().clear();
    settings_load();
    EXPECT_EQ(subnet_list(), (std::vector<uint32_t>{net(192, 168, 5), net(10, 0, 1)}));
}

TEST_F(FileFolder, FailedWriteLeavesOldFileWhole)
{
    fs::path file = dir / "setting.dat";
    ASSERT_EQ(settings_save_to(file.string(), {net(192, 168, 5), net(10, 0, 1)}), 0);
    // The disk "fills up" after 8 bytes: the new contents cannot be written.
    const std::vector<uint32_t> bigger(10, net(10, 0, 9));
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
    EXPECT_EQ(files_in(dir), 1); // no leftovers
    fs::create_directories(dir / "folder" / "setting.dat" / "inside"); // a folder in the way
    EXPECT_EQ(settings_save_to((dir / "folder" / "setting.dat").string(), {net(1, 2, 3)}), -1);
    EXPECT_TRUE(fs::is_directory(dir / "folder" / "setting.dat" / "inside"));
    // Loading it, or a missing file, keeps the list.
    std::vector<uint32_t> list = {net(7, 7, 7)};
    for (const char *p : {"none/setting.dat", "folder/setting.dat"})
        EXPECT_EQ(settings_load_from((dir / p).string(), &list), -1) << p;
    EXPECT_EQ(list, (std::vector<uint32_t>{net(7, 7, 7)}));
}

TEST(AliasLine, TableRowsAloneAndInOneFile)
{
    const struct {
        const char *line;
        std::vector<Row> want;
    } cases[] = {
        {"Desk PC:0-3-2", {{"Desk PC", "0-3-2"}}}, {"Lab:1-2:x", {{"Lab", "1-2:x"}}},
        {"Desk PC : 0-3-2", {{"Desk PC ", " 0-3-2"}}}, {"Desk PC:0-3-2\r", {{"Desk PC", "0-3-2"}}},
        {":0-3-2", {{"", "0-3-2"}}}, {"Desk PC", {}}, {"Desk PC:   ", {{"Desk PC", " "}}}, {"Desk PC:", {}},
        {"  A  :  b  c  ", {{"  A  ", "  b  c"}}}, // white space inside the key stays
        // A carriage return outside the trailing white space skips the line.
        {"Desk\rPC:0-3-2", {}}, {"Desk PC:0-3\r-2", {}}, {"Desk PC:\r", {}},
        {"Desk PC:0-3-2 \t\r", {{"Desk PC", "0-3-2"}}}, {"Desk PC: \r", {{"Desk PC", " "}}},
        {"Desk PC:\t\v\f", {{"Desk PC", "\t"}}}, {"", {}},
    };
    std::string file;
    std::vector<Row> all;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse(c.line), c.want);
        file += std::string(c.line) + "\n";
        all.insert(all.end(), c.want.begin(), c.want.end());
    }
    EXPECT_EQ(parse(file), all);
}

TEST(AliasLine, ZeroByteEndsTheTextLongTextsAreCutTo255AndLookUpIgnoresCase)
{
    EXPECT_EQ(parse(std::string("A:1\nB:2\0\nC:3\n", 13)), (std::vector<Row>{{"A", "1"}, {"B", "2"}}));
    EXPECT_EQ(parse("\n\nA:1\n\nB:2"), (std::vector<Row>{{"A", "1"}, {"B", "2"}})); // no newline at the end
    // Sixty thousand characters on one line: no deep recursion, both parts cut.
    EXPECT_EQ(parse(std::string(60000, 'a') + ":" + std::string(60000, 'k') + "\nB:2\n"),
              (std::vector<Row>{{std::string(255, 'a'), std::string(255, 'k')}, {"B", "2"}}));
    EXPECT_EQ(parse("A:k" + std::string(60000, ' ') + "\r"), (std::vector<Row>{{"A", "k"}}));
    // Look-up ignores case, and the first match wins.
    auto list = alias_parse("Desk PC:0-3-2\nLab:usb-A\nOther:0-3-2\n Sp: 0-3\n", 45);
    EXPECT_STREQ(alias_lookup(list, "0-3-2"), "Desk PC");
    EXPECT_STREQ(alias_lookup(list, "USB-a"), "Lab");
    // Neither a prefix nor a longer key matches; a key with a leading space matches no real location.
    for (const char *miss : {"0-3", "0-3-2-1", (const char *)nullptr})
        EXPECT_EQ(alias_lookup(list, miss), nullptr) << (miss ? miss : "(null)");
}

TEST_F(FileFolder, LoaderReadsAtMost65535BytesAndMissingFileFolderOrFifoGiveAnEmptyListWithoutBlocking)
{
    // Line 2 starts at 65530 and the cap falls after its "1-2"; line 3 lies beyond the cap.
    write_file(dir / "long.txt", std::string(65529, 'y') + "\n" + "A:1-2-3\n" + "B:9\n");
    EXPECT_EQ(rows(alias_load_from((dir / "long.txt").string())), (std::vector<Row>{{"A", "1-2"}}));
    EXPECT_TRUE(alias_load_from((dir / "alias.txt").string()).empty());
    // alias_read tells a missing file (-1) from an empty one (0).
    std::vector<AliasEntry> list = alias_parse("Old:0-0\n", 8);
    EXPECT_EQ(alias_read((dir / "alias.txt").string(), &list), -1);
    EXPECT_TRUE(list.empty());
    write_file(dir / "empty.txt", "");
    EXPECT_EQ(alias_read((dir / "empty.txt").string(), &list), 0);
    fs::create_directory(dir / "alias.txt");
    EXPECT_TRUE(alias_load_from((dir / "alias.txt").string()).empty());
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_TRUE(alias_load_from((dir / "fifo").string()).empty());
}

TEST_F(FileFolder, FirstReadableFileWins)
{
    fs::create_directories(dir / "beside");
    fs::create_directories(dir / "data");
    const std::vector<std::string> paths = {dir / "beside" / "alias.txt", dir / "data" / "alias.txt"};

    // Both have one: the file beside the executable is used, not merged.
    write_file(dir / "data" / "alias.txt", "Data:1-1\n");
    write_file(dir / "beside" / "alias.txt", "Beside:2-2\n");
    EXPECT_EQ(rows(alias_load_first(paths)), (std::vector<Row>{{"Beside", "2-2"}}));
    // A readable file without entries beside still wins.
    write_file(dir / "beside" / "alias.txt", "no colon here\n");
    EXPECT_TRUE(alias_load_first(paths).empty());
    // Something that is not a file beside does not count: the data folder's is used.
    fs::remove(dir / "beside" / "alias.txt");
    fs::create_directory(dir / "beside" / "alias.txt");
    EXPECT_EQ(rows(alias_load_first(paths)), (std::vector<Row>{{"Data", "1-1"}}));
}

// alias.txt: the line rule, look-up, and the loader's limits. Random short
// lines against the line expression are the fuzz harness's (fuzz_alias).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/alias_file.h"
#include "support/bytes.h"

namespace fs = std::filesystem;

namespace {

using Row = std::pair<std::string, std::string>; // alias, key

std::vector<Row> parse(const std::string &text)
{
    Exact copy(Bytes(text.begin(), text.end())); // a read past the end is caught by the sanitizer
    std::vector<Row> out;
    for (const auto &e : alias_parse((const char *)copy.p, copy.n))
        out.push_back({e.alias, e.key});
    return out;
}

std::vector<Row> rows(const std::vector<AliasEntry> &list)
{
    std::vector<Row> out;
    for (const auto &e : list)
        out.push_back({e.alias, e.key});
    return out;
}

void write_file(const fs::path &p, const std::string &s) { std::ofstream(p, std::ios::binary) << s; }

class AliasFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kavri-alias-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
};

} // namespace

TEST(AliasLine, TableRowsAloneAndInOneFile)
{
    struct Case {
        const char *line;
        std::vector<Row> want;
    } const cases[] = {
        {"Desk PC:0-3-2", {{"Desk PC", "0-3-2"}}},
        {"Lab:1-2:x", {{"Lab", "1-2:x"}}},
        {"Desk PC : 0-3-2", {{"Desk PC ", " 0-3-2"}}},
        {"Desk PC:0-3-2\r", {{"Desk PC", "0-3-2"}}},
        {":0-3-2", {{"", "0-3-2"}}},
        {"Desk PC", {}},
        {"Desk PC:   ", {{"Desk PC", " "}}},
        {"Desk PC:", {}},
        {"  A  :  b  c  ", {{"  A  ", "  b  c"}}}, // white space inside the key stays
        // A carriage return outside the trailing white space skips the line.
        {"Desk\rPC:0-3-2", {}}, {"Desk PC:0-3\r-2", {}}, {"Desk PC:\r", {}}, {"Desk PC:\r  x", {}},
        {"Desk PC:0-3-2 \t\r", {{"Desk PC", "0-3-2"}}}, {"Desk PC: \r", {{"Desk PC", " "}}},
        {"Desk PC:\t\v\f", {{"Desk PC", "\t"}}}, {"", {}},
    };
    std::string file;
    std::vector<Row> all;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse(c.line), c.want);
        file += std::string(c.line) + "\n";
        all.insert(all.end(), c.want.begin(), c.want.end());
    }
    EXPECT_EQ(parse(file), all);
}

TEST(AliasLine, ZeroByteEndsTheTextAndLongTextsAreCutTo255)
{
    EXPECT_EQ(parse(std::string("A:1\nB:2\0\nC:3\n", 13)), (std::vector<Row>{{"A", "1"}, {"B", "2"}}));
    EXPECT_EQ(parse("\n\nA:1\n\nB:2"), (std::vector<Row>{{"A", "1"}, {"B", "2"}})); // no newline at the end
    // Sixty thousand characters on one line: no deep recursion, both parts cut.
    EXPECT_EQ(parse(std::string(60000, 'a') + ":" + std::string(60000, 'k') + "\nB:2\n"),
              (std::vector<Row>{{std::string(255, 'a'), std::string(255, 'k')}, {"B", "2"}}));
    EXPECT_EQ(parse("A:k" + std::string(60000, ' ') + "\r"), (std::vector<Row>{{"A", "k"}}));
}

TEST(AliasLookup, CaseInsensitiveFirstMatchWins)
{
    auto list = alias_parse("Desk PC:0-3-2\nLab:usb-A\nOther:0-3-2\n", 36);
    EXPECT_STREQ(alias_lookup(list, "0-3-2"), "Desk PC");
    EXPECT_STREQ(alias_lookup(list, "USB-a"), "Lab");
    EXPECT_EQ(alias_lookup(list, "0-3"), nullptr);
    EXPECT_EQ(alias_lookup(list, "0-3-2-1"), nullptr);
    EXPECT_EQ(alias_lookup(list, nullptr), nullptr);
    EXPECT_EQ(alias_lookup({}, "0-3-2"), nullptr);
    // A key with a leading space matches no real location.
    EXPECT_EQ(alias_lookup(alias_parse("Desk PC : 0-3-2\n", 16), "0-3-2"), nullptr);
}

TEST_F(AliasFolder, LoaderReadsAtMost65535Bytes)
{
    // Line 1 fills bytes 0..65529; line 2 starts at 65530 and the cap falls
    // after its "1-2", so its key is cut there; line 3 lies beyond the cap.
    std::string text = std::string(65529, 'y') + "\n" + "A:1-2-3\n" + "B:9\n";
    write_file(dir / "alias.txt", text);
    auto list = alias_load_from((dir / "alias.txt").string());
    EXPECT_EQ(rows(list), (std::vector<Row>{{"A", "1-2"}}));
}

TEST_F(AliasFolder, MissingFileFolderOrFifoGivesEmptyListWithoutBlocking)
{
    EXPECT_TRUE(alias_load_from((dir / "alias.txt").string()).empty());
    fs::create_directory(dir / "alias.txt");
    EXPECT_TRUE(alias_load_from((dir / "alias.txt").string()).empty());
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_TRUE(alias_load_from((dir / "fifo").string()).empty());
}

TEST_F(AliasFolder, FirstReadableFileWins)
{
    fs::create_directories(dir / "beside");
    fs::create_directories(dir / "data");
    std::vector<std::string> paths = {(dir / "beside" / "alias.txt").string(),
                                      (dir / "data" / "alias.txt").string()};

    // Only the data folder has one.
    write_file(dir / "data" / "alias.txt", "Data:1-1\n");
    EXPECT_EQ(rows(alias_load_first(paths)), (std::vector<Row>{{"Data", "1-1"}}));

    // Both have one: the file beside the executable is used, not merged.
    write_file(dir / "beside" / "alias.txt", "Beside:2-2\n");
    EXPECT_EQ(rows(alias_load_first(paths)), (std::vector<Row>{{"Beside", "2-2"}}));

    // A readable file without entries beside still wins.
    write_file(dir / "beside" / "alias.txt", "no colon here\n");
    EXPECT_TRUE(alias_load_first(paths).empty());

    // Something that is not a file beside does not count: the data folder's is used.
    fs::remove(dir / "beside" / "alias.txt");
    fs::create_directory(dir / "beside" / "alias.txt");
    EXPECT_EQ(rows(alias_load_first(paths)), (std::vector<Row>{{"Data", "1-1"}}));

    fs::remove(dir / "data" / "alias.txt");
    EXPECT_TRUE(alias_load_first(paths).empty());
    EXPECT_TRUE(alias_load_first({}).empty());
}

TEST_F(AliasFolder, ReadTellsAMissingFileFromAnEmptyOne)
{
    std::vector<AliasEntry> list = alias_parse("Old:0-0\n", 8);
    EXPECT_EQ(alias_read((dir / "alias.txt").string(), &list), -1);
    EXPECT_TRUE(list.empty());
    write_file(dir / "alias.txt", "");
    EXPECT_EQ(alias_read((dir / "alias.txt").string(), &list), 0);
    EXPECT_TRUE(list.empty());
}

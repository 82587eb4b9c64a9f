// setting.dat: the target's keyboard layout after the end marker, where a
// loader that knows only the network list never looks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings_file.h"
#include "support/bytes.h"

namespace {

// 192.168.5.* and the layout "de".
const Bytes kList = unhex("af23c03b 01000000 c0a80500 09badcfe");
const Bytes kLayoutDe = unhex("544b424c 02000000 6465"); // "TKBL", length, "de"
const uint32_t kNet = 0x0005A8C0;

TEST(SettingsLayout, WrittenAfterTheEndMarkerOnlyWhenNotTheDefault)
{
    EXPECT_EQ(settings_serialize({kNet}, "de"), cat({kList, kLayoutDe}));
    EXPECT_EQ(settings_serialize({kNet}, "us"), kList);
    EXPECT_EQ(settings_serialize({kNet}), kList);
}

TEST(SettingsLayout, OldAndNewReadersOfTheNewFile)
{
    Bytes file = cat({kList, kLayoutDe});
    // The list reader stops at the end marker: the list as before.
    std::vector<uint32_t> list;
    EXPECT_EQ(settings_parse(file.data(), file.size(), &list), 0);
    EXPECT_EQ(list, std::vector<uint32_t>{kNet});

    struct Row {
        Bytes bytes;
        int found;
        std::string layout;  // starting from "us"
    } rows[] = {
        {file, 1, "de"},
        {kList, 0, "us"},  // an old file
        // An unknown record is skipped; "ch(fr)" is a layout with its variant.
        {cat({kList, unhex("58585858 01000000 00 544b424c 06000000 6368286672 29")}), 1, "ch(fr)"},
        {Bytes(file.begin(), file.end() - 1), 0, "us"},                       // cut
        {cat({kList, unhex("544b424c 02000000 2e2f")}), 0, "us"},  // "./": not a name
        {cat({kList, unhex("544b424c 01100000 64")}), 0, "us"},     // over 4096
        {cat({Bytes(4, 0), kLayoutDe}), 0, "us"},  // no block, no end marker
    };
    for (const Row &r : rows) {
        std::string layout = "us";
        EXPECT_EQ(settings_parse_layout(r.bytes.data(), r.bytes.size(), &layout), r.found) << r.layout;
        EXPECT_EQ(layout, r.layout);
    }
}

}  // namespace

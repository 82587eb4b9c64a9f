// setting.dat: the target's keyboard layout after the end marker, where a
// loader that knows only the network list never looks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 192.168.5.* and the layout "de".
const Bytes kList = {0xAF, 0x23, 0xC0, 0x3B, 0x01, 0x00, 0x00, 0x00, 0xC0, 0xA8, 0x05, 0x00, 0x09, 0xBA, 0xDC, 0xFE};
const Bytes kLayoutDe = {0x54, 0x4B, 0x42, 0x4C, 0x02, 0x00, 0x00, 0x00, 0x64, 0x65};
const uint32_t kNet = 0x0005A8C0;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

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
        {cat({kList, {0x58, 0x58, 0x58, 0x58, 0x01, 0x00, 0x00, 0x00, 0x00},
              {0x54, 0x4B, 0x42, 0x4C, 0x06, 0x00, 0x00, 0x00, 'c', 'h', '(', 'f', 'r', ')'}}),
         1, "ch(fr)"},
        {Bytes(file.begin(), file.end() - 1), 0, "us"},                       // cut
        {cat({kList, {0x54, 0x4B, 0x42, 0x4C, 0x02, 0x00, 0x00, 0x00, '.', '/'}}), 0, "us"},  // not a name
        {cat({kList, {0x54, 0x4B, 0x42, 0x4C, 0x01, 0x10, 0x00, 0x00, 'd'}}), 0, "us"},     // over 4096
        {cat({{0x00, 0x00, 0x00, 0x00}, kLayoutDe}), 0, "us"},  // no block, no end marker
    };
    for (const Row &r : rows) {
        std::string layout = "us";
        EXPECT_EQ(settings_parse_layout(r.bytes.data(), r.bytes.size(), &layout), r.found) << r.layout;
        EXPECT_EQ(layout, r.layout);
    }
}

}  // namespace

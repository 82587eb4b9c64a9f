// The network upload's framing: the 20-byte header and the 128 KiB pieces.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/net_upload.h"

namespace {

TEST(NetUploadFraming, HeaderIsSizeLittleEndianThenDigest)
{
    const uint8_t md5[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                             0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    const uint8_t expect[20] = {0xE0, 0x93, 0x04, 0x00,  // 300000
                                0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    uint8_t out[NET_UPLOAD_HEADER];
    net_upload_header(out, 300000, md5);
    EXPECT_EQ(0, memcmp(out, expect, 20));
}

TEST(NetUploadFraming, CommandIs17BytesWithABlankBeforeTheLineFeed)
{
    const uint8_t expect[17] = {'u', 'p', 'd', 'a', 't', 'e', '_', 'f', 'i',
                                'r', 'm', 'w', 'a', 'r', 'e', ' ', '\n'};
    ASSERT_EQ(sizeof NET_UPLOAD_COMMAND - 1, 17u);
    EXPECT_EQ(0, memcmp(NET_UPLOAD_COMMAND, expect, 17));
}

TEST(NetUploadFraming, ThreeHundredThousandBytesGoAsThreePieces)
{
    ASSERT_EQ(net_upload_piece_count(300000), 3u);
    EXPECT_EQ(net_upload_piece_len(300000, 1), 131072u);
    EXPECT_EQ(net_upload_piece_len(300000, 2), 37856u);
    EXPECT_EQ(net_upload_piece_len(300000, 3), 0u);
    EXPECT_EQ(net_upload_piece_count(131073), 2u);
}

TEST(NetUpload, NotIpv4IsAFailedConnection)
{
    // An IPv6 record: no socket is opened, the failure text is shown.
    DeviceRecord r{};
    r.address.in6.sin6_family = AF_INET6;
    UpdateState st;
    uint8_t md5[16] = {};
    NetUploadTiming t{10, 0, 0, 0};
    EXPECT_EQ(net_upload(&r, md5, sizeof md5, md5, &st, &t), -1);
    char m[UPDATE_MESSAGE_CAP];
    update_state_get_message(&st, m);
    EXPECT_STREQ(m, "Failed to connect to KAVRI Viewer!");
}

}  // namespace

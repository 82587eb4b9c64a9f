// The network upload's framing: the command, the 20-byte header, the pieces.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/net_upload.h"
#include "support/bytes.h"

namespace {

TEST(NetUploadFraming, CommandHeaderAndPieces)
{
    const Bytes md5 = unhex("d41d8cd98f00b204e9800998ecf8427e");
    uint8_t out[NET_UPLOAD_HEADER];
    net_upload_header(out, 300000, md5.data());
    EXPECT_EQ(hex(out, sizeof out), "e0930400" "d41d8cd98f00b204e9800998ecf8427e"); // size little endian, digest
    ASSERT_EQ(net_upload_piece_count(300000), 3u);
    EXPECT_EQ(net_upload_piece_len(300000, 2), 37856u);
    EXPECT_EQ(net_upload_piece_len(300000, 3), 0u);
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

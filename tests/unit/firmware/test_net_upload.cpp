// The network upload's framing: the command, the 20-byte header, the pieces.
#include <gtest/gtest.h>

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

}  // namespace

// The firmware dialogue over HID feature reports (the whole dialogue through
// the worker is the integration test's).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "firmware/hid_upload.h"
#include "firmware/update_state.h"
#include "protocol/sha256_block.h"
#include "dongle_sim/usb_fake.h"
#include "support/bytes.h"

TEST(HidFirmwareReports, ReportsRepliesAndBuildNumbers)
{
    uint8_t r[64];
    ASSERT_EQ(hid_fw_report(r, 64, 0xF0), 0);
    EXPECT_EQ(hex(r, 64), "0cf0" + std::string(124, '0'));
    // A 100-byte image: size 64 00 00 00 at bytes 6-9, and the block digest
    // covers its first 64 bytes only.
    Bytes image = cat({Bytes(64, 0x11), Bytes(36, 0x22)});
    ASSERT_EQ(hid_fw_size_report(r, 64, image.data(), image.size()), 0);
    uint8_t digest[32];
    sha256_block_digest(image.data(), 64, digest);
    EXPECT_EQ(hex(r, 64), "0ca10000000064000000" + hex(digest, 32) + std::string(44, '0'));
    EXPECT_EQ(hid_fw_size_report(r, 41, image.data(), image.size()), -1) << "no room for the digest";

    const struct {
        const char *reply;
        uint8_t code;
        bool good;
    } replies[] = {{"0ca00000", 0xA0, true}, {"0ca00000", 0xA1, false}, {"0ca00100", 0xA0, false},
                   {"0da00000", 0xA0, false}};
    for (const auto &q : replies)
        EXPECT_EQ(hid_fw_reply_good(unhex(q.reply).data(), 4, q.code), q.good) << q.reply << " " << (int)q.code;
    Bytes reply = cat({unhex("0cc200"), Bytes{'2', '4', '0', '6', '0', '1', '1', '2', '0', '0', '0', '0', 0}});
    uint64_t build = 0;
    ASSERT_EQ(hid_fw_parse_build(reply.data(), reply.size(), &build), 0);
    EXPECT_EQ(build, 240601120000ull);
    ASSERT_EQ(hid_fw_parse_build(reply.data(), 6, &build), 0); // digits end at the reply's end
    EXPECT_EQ(build, 240u);
    reply[2] = 0x83;
    EXPECT_EQ(hid_fw_parse_build(reply.data(), reply.size(), &build), -1);
}

namespace {

// The codes the dongle received, a run of pieces (A2) as one.
std::vector<uint8_t> steps(const UsbFakeStats &s, int *pieces = nullptr)
{
    std::vector<uint8_t> codes;
    for (auto &r : s.feature_reports) {
        if (pieces)
            *pieces += r[1] == 0xA2;
        if (codes.empty() || r[1] != 0xA2 || codes.back() != 0xA2)
            codes.push_back(r[1]);
    }
    return codes;
}

} // namespace

// Cancel and outcome. Closing the viewer cancels the upload: until "end of
// data" has gone the dongle must get nothing more (it then keeps its old
// firmware); after "start flashing" it flashes on its own and only the polling
// stops. Only the finished status is success.

TEST(HidFirmwareOutcome, CancelAtEveryStepAndEveryEnding)
{
    const char *uploading = "Uploading firmware... Please DO NOT disconnect KAVRI Viewer!!";
    const char *updating = "Updating firmware... Please DO NOT disconnect KAVRI Viewer!!";
    const char *failed = "Failed to update firmware, please try again!";
    const std::vector<uint8_t> all = {0xF0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
    struct Row {
        uint8_t cancel_at;  // cancel when the dongle receives this code; 0: never
        uint8_t refuse;     // the dongle answers this code with a failing status
        int feature_len;
        int result;
        const char *message;
        uint8_t last;       // the last code the dongle received; 0: none
    } const rows[] = {
        {0xF0, 0, 64, HID_FW_CANCELLED, uploading, 0xF0},
        {0xA1, 0, 64, HID_FW_CANCELLED, uploading, 0xA1},
        {0xA2, 0, 64, HID_FW_CANCELLED, uploading, 0xA2},
        {0xA3, 0, 64, HID_FW_CANCELLED, updating, 0xA3},
        {0xA4, 0, 64, HID_FW_CANCELLED, updating, 0xA4},
        {0, 0xA5, 64, -1, failed, 0xA4},
        {0, 0xA0, 64, -1, failed, 0xA0},
        {0, 0, 41, -1, failed, 0},
        {0, 0, 64, 0, "Succeded to update firmware!!", 0xA4},
    };
    const Bytes image(300, 0x5A);
    // Each row waits out the dialogue's pauses (up to 3 s): they run side by side.
    auto run = [&](const Row &row) {
        SCOPED_TRACE(testing::Message() << "cancel at " << std::hex << (int)row.cancel_at << " refuse "
                                        << (int)row.refuse << std::dec << " length " << row.feature_len);
        UpdateState st;
        update_state_set_message(&st, uploading);
        UsbFake *fake = usb_fake_create();
        UsbFakeConfig c;
        c.hid_mode = true;
        c.refuse_code = row.refuse;
        c.on_report = [&st, &row](uint8_t code) {
            if (code == row.cancel_at)
                st.cancel = 1;
        };
        int dongle = usb_fake_add(fake, c);
        const UsbBackend *b = usb_fake_backend(fake);
        UsbHid *h = b->hid_open(b->context, "fake-hid:0", nullptr);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(hid_fw_upload(b, h, row.feature_len, image.data(), image.size(), &st), row.result);
        b->hid_close(h);

        char message[UPDATE_MESSAGE_CAP];
        update_state_get_message(&st, message);
        EXPECT_STREQ(message, row.message);
        int pieces = 0;
        std::vector<uint8_t> codes = steps(usb_fake_stats(fake, dongle), &pieces);
        auto end = row.last ? std::find(all.begin(), all.end(), row.last) + 1 : all.begin();
        EXPECT_EQ(codes, std::vector<uint8_t>(all.begin(), end)) << "nothing after the cancel or the failure";
        if (row.cancel_at == 0xA2) {
            EXPECT_EQ(pieces, 1);
        }
        usb_fake_destroy(&fake);
    };
    std::vector<std::thread> threads;
    for (const Row &row : rows)
        threads.emplace_back(run, std::cref(row));
    for (auto &t : threads)
        t.join();
}

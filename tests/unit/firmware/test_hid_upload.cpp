// The firmware dialogue over HID feature reports: the reports as bytes, the
// piece arithmetic, and whole dialogues against the fake dongle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "firmware/hid_upload.h"
#include "firmware/update_state.h"
#include "firmware/update_worker.h"
#include "protocol/sha256_block.h"
#include "dongle_sim/usb_fake.h"

TEST(HidFirmwareReports, CommandAndSizeReportsAsBytes)
{
    uint8_t r[64];
    ASSERT_EQ(hid_fw_report(r, 64, 0xF0), 0);
    EXPECT_EQ(r[0], 0x0C);
    EXPECT_EQ(r[1], 0xF0);
    for (int i = 2; i < 64; i++)
        ASSERT_EQ(r[i], 0) << i;

    // A 100-byte image: size 64 00 00 00 at bytes 6-9, and the block digest
    // covers its first 64 bytes only.
    std::vector<uint8_t> image(100);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = (uint8_t)(i * 7);
    ASSERT_EQ(hid_fw_size_report(r, 64, image.data(), image.size()), 0);
    const uint8_t head[10] = {0x0C, 0xA1, 0, 0, 0, 0, 0x64, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(r, head, sizeof head), 0);
    uint8_t digest[32];
    sha256_block_digest(image.data(), 64, digest);
    EXPECT_EQ(std::memcmp(r + 10, digest, 32), 0);
    for (int i = 42; i < 64; i++)
        ASSERT_EQ(r[i], 0) << i;
    EXPECT_EQ(hid_fw_size_report(r, 41, image.data(), image.size()), -1) << "no room for the digest";
}

TEST(HidFirmwareReports, RepliesAndBuildNumbers)
{
    const uint8_t good[4] = {0x0C, 0xA0, 0x00, 0x00};
    EXPECT_TRUE(hid_fw_reply_good(good, 4, 0xA0));
    EXPECT_FALSE(hid_fw_reply_good(good, 4, 0xA1));
    const uint8_t bad_status[4] = {0x0C, 0xA0, 0x01, 0x00};
    EXPECT_FALSE(hid_fw_reply_good(bad_status, 4, 0xA0));
    const uint8_t bad_id[4] = {0x0D, 0xA0, 0x00, 0x00};
    EXPECT_FALSE(hid_fw_reply_good(bad_id, 4, 0xA0));

    uint8_t reply[20] = {0x0C, 0xC2, 0x00, '2', '4', '0', '6', '0', '1', '1', '2', '0', '0', '0', '0', 0};
    uint64_t build = 0;
    ASSERT_EQ(hid_fw_parse_build(reply, 20, &build), 0);
    EXPECT_EQ(build, 240601120000ull);
    // Digits end at the reply's end, not past it.
    ASSERT_EQ(hid_fw_parse_build(reply, 6, &build), 0);
    EXPECT_EQ(build, 240u);
    reply[2] = 0x83;
    EXPECT_EQ(hid_fw_parse_build(reply, 20, &build), -1);
}

class HidFirmwareDialogue : public ::testing::Test {
protected:
    UsbFake *fake = nullptr;
    int dongle = -1;
    void SetUp() override
    {
        fake = usb_fake_create();
        UsbFakeConfig c;
        c.hid_mode = true;
        c.build = 240427225356ull;
        dongle = usb_fake_add(fake, c);
    }
    void TearDown() override { usb_fake_destroy(&fake); }
};

TEST_F(HidFirmwareDialogue, TheWorkersOperationsFindQueryAndUpload)
{
    UpdateUsbOps ops;
    hid_fw_usb_ops(usb_fake_backend(fake), &ops);
    UpdateUsbFound found{};
    ops.detect(ops.context, &found);
    EXPECT_FALSE(found.stream_mode);
    ASSERT_TRUE(found.hid_found);
    EXPECT_EQ(found.hid_version, 0x2000);

    void *h = ops.open(ops.context, found.hid_path);
    ASSERT_NE(h, nullptr);
    uint16_t version = 0;
    int len = 0;
    ASSERT_EQ(ops.attributes(h, &version, &len), 0);
    EXPECT_EQ(len, 64);
    uint64_t build = 0;
    ASSERT_EQ(ops.query_build(h, len, &build), 0);
    EXPECT_EQ(build, 240427225356ull);

    std::vector<uint8_t> image(5000);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = (uint8_t)(i * 13 + 1);
    UpdateState st;
    update_state_set_message(&st, "Uploading firmware... Please DO NOT disconnect KAVRI Viewer!!");
    ops.upload(h, len, image.data(), image.size(), &st);
    ops.close(h);

    char message[UPDATE_MESSAGE_CAP];
    update_state_get_message(&st, message);
    EXPECT_STREQ(message, "Succeded to update firmware!!");
    EXPECT_FLOAT_EQ(st.progress.load(), 1.0f);
    UsbFakeStats s = usb_fake_stats(fake, dongle);
    EXPECT_EQ(s.firmware_size, 5000u);
    EXPECT_EQ(s.firmware, image) << "the dongle holds the image byte for byte";
    // The order of the steps: F0, A0, A1, the pieces, A3, A4.
    std::vector<uint8_t> codes;
    for (auto &r : s.feature_reports)
        if (codes.empty() || r[1] != 0xA2 || codes.back() != 0xA2)
            codes.push_back(r[1]);
    const std::vector<uint8_t> want = {0xC2, 0xF0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
    EXPECT_EQ(codes, want);
}

TEST_F(HidFirmwareDialogue, AFailedStepEndsTheUploadWithAFailure)
{
    UpdateUsbOps ops;
    hid_fw_usb_ops(usb_fake_backend(fake), &ops);
    UpdateUsbFound found{};
    ops.detect(ops.context, &found);
    void *h = ops.open(ops.context, found.hid_path);
    ASSERT_NE(h, nullptr);
    usb_fake_unplug(fake, dongle);
    UpdateState st;
    update_state_set_message(&st, "Uploading firmware... Please DO NOT disconnect KAVRI Viewer!!");
    std::vector<uint8_t> image(300, 7);
    ops.upload(h, 64, image.data(), image.size(), &st);
    ops.close(h);
    char message[UPDATE_MESSAGE_CAP];
    update_state_get_message(&st, message);
    EXPECT_STREQ(message, "Failed to update firmware, please try again!");
    uint64_t build;
    EXPECT_EQ(hid_fw_query_build(usb_fake_backend(fake), nullptr, 64, &build), -1);
}

// ---------------------------------------------------------------------------
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
        {0xA0, 0, 64, HID_FW_CANCELLED, uploading, 0xA0},
        {0xA1, 0, 64, HID_FW_CANCELLED, uploading, 0xA1},
        {0xA2, 0, 64, HID_FW_CANCELLED, uploading, 0xA2},
        {0xA3, 0, 64, HID_FW_CANCELLED, updating, 0xA3},
        {0xA4, 0, 64, HID_FW_CANCELLED, updating, 0xA4},
        {0, 0xA5, 64, -1, failed, 0xA4},
        {0, 0xA0, 64, -1, failed, 0xA0},
        {0, 0, 41, -1, failed, 0},
        {0, 0, 64, 0, "Succeded to update firmware!!", 0xA4},
    };
    std::vector<uint8_t> image(300);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = (uint8_t)(i * 5 + 3);
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
        std::vector<uint8_t> codes;
        int pieces = 0;
        for (auto &r : usb_fake_stats(fake, dongle).feature_reports) {
            pieces += r[1] == 0xA2;
            if (codes.empty() || r[1] != 0xA2 || codes.back() != 0xA2)
                codes.push_back(r[1]);
        }
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

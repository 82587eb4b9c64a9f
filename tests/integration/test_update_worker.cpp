// The firmware update worker end to end: a local HTTPS update server with a
// certificate from a CA made for the test, the link's scan, and kavri-dongle-sim.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dongle_sim/usb_fake.h"
#include "firmware/hid_upload.h"
#include "firmware/http_client.h"
#include "firmware/net_upload.h"
#include "firmware/update_worker.h"
#include "protocol/md5.h"
#include "sim_process.h"
#include "support/bytes.h"
#include "support/link_probe.h"

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path &p, const std::string &bytes) { std::ofstream(p, std::ios::binary) << bytes; }

// A CA, a certificate for 127.0.0.1 and localhost ("server") and one for 127.0.0.3 ("other").
bool make_certificates(const fs::path &dir)
{
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout ";
    std::string cmd = "cd '" + dir.string() + "' && openssl req -x509" + key +
                      "ca.key -out ca.pem -subj /CN=kavri-test-ca -addext basicConstraints=critical,CA:TRUE";
    for (auto [name, names] : {std::pair{"server", "IP:127.0.0.1,DNS:localhost"}, {"other", "IP:127.0.0.3"}})
        cmd += std::string(" && openssl req") + key + name + ".key -out " + name + ".csr -subj /CN=" + name +
               " -addext subjectAltName=" + names + " && openssl x509 -req -in " + name +
               ".csr -CA ca.pem -CAkey ca.key -days 2 -copy_extensions copyall -out " + name + ".pem";
    return std::system(("(" + cmd + ") >'" + dir.string() + "/openssl.log' 2>&1").c_str()) == 0;
}

size_t gets(const SimProcess &server, const char *path = nullptr)
{
    size_t n = 0;
    for (const std::string &e : sim_events(&server, "get"))
        n += !path || json_field(e, "path") == path;
    return n;
}

class UpdateWorker : public ::testing::Test {
protected:
    fs::path dir;  // served: the certificates and fw/
    SimProcess server, sim;
    LinkContext *link = nullptr;
    UpdateState st;
    UpdateConfig cfg{};
    std::vector<uint8_t> image = std::vector<uint8_t>(300000);
    uint8_t image_md5[16];

    bool start_server(SimProcess *s, const char *name)
    {
        std::string script = std::string(KAVRI_SOURCE_DIR) + "/tests/integration/https_server.py";
        return sim_start(s, {dir.string(), (dir / name).string() + ".pem", (dir / name).string() + ".key"}, script);
    }
    int port(const SimProcess &s) { return (int)json_int(sim_events(&s, "ready")[0], "port"); }
    void SetUp() override
    {
        char tmpl[] = "/tmp/kavri-update-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "fw");
        ASSERT_TRUE(make_certificates(dir)) << std::ifstream(dir / "openssl.log").rdbuf();
        ASSERT_TRUE(start_server(&server, "server"));
        uint32_t x = 7;
        for (uint8_t &b : image)
            b = (uint8_t)((x = x * 1103515245u + 12345u) >> 16);
        md5(image.data(), image.size(), image_md5);
        update_config_defaults(&cfg);
        snprintf(cfg.base_url, sizeof cfg.base_url, "https://127.0.0.1:%d", port(server));
        snprintf(cfg.ca_file, sizeof cfg.ca_file, "%s", (dir / "ca.pem").c_str());
        cfg.restart_step_ms = 10;  // the 80 restart steps, shortened
    }
    void TearDown() override
    {
        update_state_join(&st);
        link_stop(&link);
        sim_stop(&sim);
        sim_stop(&server);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void serve(const std::string &text, const std::vector<uint8_t> &img)
    {
        write_file(dir / "fw" / "latest.txt", text);
        write_file(dir / "fw" / "latest.img", std::string(img.begin(), img.end()));
    }
    void start_sim(const char *build)
    {
        ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--id", "sim-127.0.0.2", "--build", build,
                                     "--new-build", "250101000000", "--restart-silence", "300"}));
    }
    void start_link()
    {
        link = start_probed_link(nullptr);
        ASSERT_NE(link, nullptr);
        uint32_t subnet = ipv4("127.0.0.0");
        link_set_subnets(link, &subnet, 1);
        link_on_device(link, &st, update_state_on_device);
        cfg.link = link;
    }
    // Starts the worker as the "Check" button does and waits for its end.
    std::string run_worker()
    {
        EXPECT_EQ(update_worker_start(&st, &cfg), 0);
        EXPECT_TRUE(wait_until(60000, [&] { return st.busy.load() == 0; })) << "the worker did not end";
        update_state_join(&st);
        EXPECT_EQ(st.progress_visible.load(), 0);
        char m[UPDATE_MESSAGE_CAP];
        update_state_get_message(&st, m);
        return m;
    }
};

// An upload cancelled while the dongle digests the command sends no image:
// the dongle's first image is the whole one of the update after it.
TEST_F(UpdateWorker, UpdatesTheSimulatedDongleOverTheNetworkAfterACancelledUpload)
{
    start_sim("240101000000");
    DeviceRecord target = record_at("127.0.0.2", 2);
    NetUploadTiming t{2000, 60000, 10, 10};
    st.cancel = 1;
    EXPECT_EQ(net_upload(&target, image.data(), image.size(), image_md5, &st, &t), -1);
    char m[UPDATE_MESSAGE_CAP];
    update_state_get_message(&st, m);
    EXPECT_STREQ(m, "");
    ASSERT_TRUE(sim_wait_event(&sim, "update_firmware", 1, 5000));
    st.cancel = 0;
    serve("250101000000|" + hex(image_md5, 16), image);
    start_link();
    EXPECT_EQ(run_worker(), "Succeded to update firmware!!");
    // The bar stops where the restart wait leaves it.
    EXPECT_FLOAT_EQ(st.progress.load(), 79.0f / 130.0f);
    ASSERT_TRUE(sim_wait_event(&sim, "firmware", 1, 5000));
    auto fw = sim_events(&sim, "firmware")[0];
    EXPECT_EQ(json_int(fw, "complete"), 1);
    EXPECT_EQ(json_int(fw, "received"), 300000);
    EXPECT_EQ(json_field(fw, "md5"), hex(image_md5, 16));
    ASSERT_EQ(sim_events(&sim, "update_firmware").size(), 2u);
    ASSERT_TRUE(sim_wait_event(&sim, "restarted", 1, 5000));
    EXPECT_EQ(json_field(sim_events(&sim, "restarted")[0], "build"), "250101000000");
    EXPECT_EQ(gets(server, "/fw/latest.txt"), 1u);
    EXPECT_EQ(gets(server, "/fw/latest.img"), 1u);
}

// What the operator reads when the update cannot or need not happen: the dongle receives nothing, the image is
// not downloaded where the text settles it, and no request passes an unverified TLS session or plain http.
TEST_F(UpdateWorker, EveryRefusalHasItsMessageAndUploadsNothing)
{
    enum Server { SERVED, CORRUPT, NOTHING, UNREACHABLE, UNTRUSTED, OTHER_HOST, PLAIN };
    struct Case {
        const char *what;
        Server server;
        const char *text;          // %s: the image's digest
        const char *dongle_build;  // no dongle when null
        const char *message;
        int fetches_image;  // 1, 0, or -1 when it does not matter
    } cases[] = {
        {"no dongle", SERVED, "250101000000|%s", nullptr, "Could not detect KAVRI Viewer over USB or network!", -1},
        {"corrupt", CORRUPT, "250101000000|%s", "240101000000", "The firmware is corrupted, please try again!", 1},
        {"unreachable", UNREACHABLE, "250101000000|%s", "240101000000", "Failed to check update from internet!", 0},
        {"outside the CA", UNTRUSTED, "250101000000|%s", "240101000000", "Failed to check update from internet!", 0},
        {"another host's", OTHER_HOST, "250101000000|%s", "240101000000", "Failed to check update from internet!", 0},
        {"plain http", PLAIN, "250101000000|%s", "240101000000", "Failed to check update from internet!", 0},
        {"no text (404)", NOTHING, "250101000000|%s", "240101000000", "Failed to check update from internet!", 0},
        {"same build", SERVED, "240427225356|%s", "240427225356", "The firmware is up to date!", 0},
        {"line end after the digest", SERVED, "250101000000|%s\n", "240101000000", "", 0},
        {"old network dongle", SERVED, "250101000000|%s", "230302190448",
         "The device doesn't support network update! Please plug the USB cable to the computer.", -1},
    };
    SimProcess other;  // signed by the trusted CA, but for 127.0.0.3
    ASSERT_TRUE(start_server(&other, "other"));
    start_link();
    const UpdateConfig good = cfg;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        cfg = good;
        fs::remove(dir / "fw" / "latest.txt");
        fs::remove(dir / "fw" / "latest.img");
        std::vector<uint8_t> img = image;
        img[1000] ^= c.server == CORRUPT;
        char text[80];
        snprintf(text, sizeof text, c.text, hex(image_md5, 16).c_str());
        if (c.server != NOTHING)
            serve(text, img);
        if (c.server == UNREACHABLE || c.server == OTHER_HOST || c.server == PLAIN)
            snprintf(cfg.base_url, sizeof cfg.base_url, "%s://127.0.0.1:%d", c.server == PLAIN ? "http" : "https",
                     c.server == UNREACHABLE ? 1 : port(c.server == PLAIN ? server : other));
        if (c.server == UNTRUSTED)
            cfg.ca_file[0] = 0;  // the system's store does not know the test CA
        if (c.dongle_build)
            start_sim(c.dongle_build);
        size_t requests = gets(server) + gets(other), images = gets(server, "/fw/latest.img");
        EXPECT_EQ(run_worker(), c.message);
        if (c.server >= UNTRUSTED) {
            EXPECT_EQ(gets(server) + gets(other), requests);
        }
        if (c.fetches_image >= 0) {
            EXPECT_EQ(gets(server, "/fw/latest.img") > images, c.fetches_image == 1);
        }
        if (c.dongle_build) {
            EXPECT_TRUE(sim_events(&sim, "update_firmware").empty());
            EXPECT_TRUE(sim_events(&sim, "firmware").empty());
            sim_stop(&sim);
        }
    }
}

// The HTTPS client alone: the body, the progress it reports, the size limit.
TEST_F(UpdateWorker, HttpClientFetchesWithProgressAndKeepsItsSizeLimit)
{
    using Calls = std::vector<std::pair<uint64_t, uint64_t>>;  // (bytes so far, total)
    Calls calls;
    auto on = [](void *c, uint64_t now, uint64_t total) {
        ((Calls *)c)->push_back({now, total});
        return 0;
    };
    serve("x", image);
    const std::string url = std::string(cfg.base_url) + "/fw/latest.img";
    HttpOptions o{cfg.ca_file, 10000, 0, on, &calls};
    uint8_t *body = nullptr;
    size_t size = 0;
    ASSERT_EQ(http_get(url.c_str(), &o, &body, &size), 0);
    ASSERT_EQ(size, image.size());
    EXPECT_EQ(body[size], 0) << "a spare zero follows the body";
    http_free(body);
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
    EXPECT_EQ(calls.back(), std::make_pair((uint64_t)image.size(), (uint64_t)image.size()));
    o.max_bytes = 1000;
    EXPECT_EQ(http_get(url.c_str(), &o, &body, &size), -1);
    EXPECT_EQ(size, 0u);
}

// The HID route with the USB layer's own operations against a fake dongle in HID mode (0x2002 and later are
// asked for their build): the image through feature reports, or why not; a failed flashing is no success.
TEST_F(UpdateWorker, HidDongleTakesTheImageOrSaysWhy)
{
    struct Row {
        void (*set)(UsbFakeConfig &);
        const char *message;
        bool downloads;
        const char *log;  // on standard error
    } const rows[] = {
        {[](UsbFakeConfig &c) { c.hid_version = 0x2002; }, "Succeded to update firmware!!", true, ""},
        {[](UsbFakeConfig &c) { c.feature_length = 41; }, "The device doesn't meet update requirement!", false, ""},
        {[](UsbFakeConfig &c) { c.attributes_readable = false; }, "Failed to connect to KAVRI Viewer!", false, ""},
        {[](UsbFakeConfig &c) { c.deny_open_ms = -1; }, "Failed to connect to KAVRI Viewer!", false,
         "no permission; install the udev rule 70-kavri-viewer.rules"},
        {[](UsbFakeConfig &c) { c.refuse_code = 0xA5; }, "Failed to update firmware, please try again!", true, ""},
        {[](UsbFakeConfig &c) { c.hid_version = 0x2002, c.build = 250101000000ull; }, "The firmware is up to date!",
         false, ""},
    };
    serve("250101000000|" + hex(image_md5, 16), image);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.message);
        UsbFake *usb = usb_fake_create();
        UsbFakeConfig c;
        c.hid_mode = true;
        c.build = 240101000000ull;
        row.set(c);
        int dongle = usb_fake_add(usb, c);
        UpdateUsbOps hid_ops;
        hid_fw_usb_ops(usb_fake_backend(usb), &hid_ops);
        cfg.usb = &hid_ops;
        size_t downloads = gets(server, "/fw/latest.img");
        usb_log_reset();
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_worker(), row.message);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(gets(server, "/fw/latest.img") > downloads, row.downloads);
        EXPECT_NE(log.find(row.log), std::string::npos) << log;
        if (row.downloads && !c.refuse_code) {
            EXPECT_EQ(usb_fake_stats(usb, dongle).firmware, image);
            EXPECT_FLOAT_EQ(st.progress.load(), 1.0f);
        }
        usb_fake_destroy(&usb);
    }
}

}  // namespace

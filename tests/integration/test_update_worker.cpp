// The firmware update worker end to end, inside the private network
// namespace: a local HTTPS update server with a certificate from a CA made
// for the test (trusted through the worker's configuration, with verification
// on), the device link's scan, and kavri-dongle-sim taking the image over the
// network and restarting with the new build.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "firmware/http_client.h"
#include "firmware/net_upload.h"
#include "firmware/hid_upload.h"
#include "firmware/update_worker.h"
#include "dongle_sim/usb_fake.h"
#include "link/link.h"
#include "protocol/md5.h"
#include "sim_process.h"
#include "support/bytes.h"
#include "support/link_probe.h"

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path &p, const std::string &bytes)
{
    std::ofstream out(p, std::ios::binary);
    out << bytes;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A CA, a server certificate for 127.0.0.1 and localhost ("server") and one
// for 127.0.0.3 ("other"), made with the openssl command line. Returns false when openssl fails.
bool make_certificates(const fs::path &dir)
{
    write_file(dir / "server.ext",
               "basicConstraints=CA:FALSE\n"
               "keyUsage=critical,digitalSignature,keyEncipherment\n"
               "extendedKeyUsage=serverAuth\n"
               "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    write_file(dir / "other.ext",
               "basicConstraints=CA:FALSE\n"
               "extendedKeyUsage=serverAuth\n"
               "subjectAltName=IP:127.0.0.3\n");
    std::string d = dir.string();
    std::string cmd =
        "cd '" + d + "' && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key "
        "-out ca.pem -days 2 -subj /CN=kavri-test-ca -addext basicConstraints=critical,CA:TRUE "
        "-addext keyUsage=critical,keyCertSign,cRLSign && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key "
        "-out server.csr -subj /CN=127.0.0.1 && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile server.ext -out server.pem && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout other.key "
        "-out other.csr -subj /CN=127.0.0.3 && "
        "openssl x509 -req -in other.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile other.ext -out other.pem";
    cmd = "(" + cmd + ") >'" + d + "/openssl.log' 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// python3 tests/integration/https_server.py serving a folder with the
// certificate <name>.pem and key <name>.key from the certificate folder.
struct HttpsServer {
    pid_t pid = -1;
    int stdin_fd = -1;
    int port = 0;
    fs::path log;

    bool start(const fs::path &root, const fs::path &certs, const std::string &name = "server")
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return false;
        log = certs / (name + ".log");
        std::string script = std::string(KAVRI_SOURCE_DIR) + "/tests/integration/https_server.py";
        std::string r = root.string(), c = (certs / (name + ".pem")).string(), k = (certs / (name + ".key")).string();
        std::string l = log.string();
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(in[0], 0);
            dup2(out[1], 1);
            int fd = open(l.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                dup2(fd, 2);
            execlp("python3", "python3", script.c_str(), r.c_str(), c.c_str(), k.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_fd = in[1];
        if (pid < 0) {
            close(out[0]);
            return false;
        }
        // "port N" within 10 s.
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            char b[64];
            ssize_t n = read(out[0], b, sizeof b);
            if (n <= 0)
                break;
            line.append(b, (size_t)n);
        }
        close(out[0]);
        return sscanf(line.c_str(), "port %d", &port) == 1 && port > 0;
    }
    // Requests seen so far, one "GET PATH STATUS" line each.
    std::string requests() const { return read_file(log); }
    void stop()
    {
        if (stdin_fd >= 0)
            close(stdin_fd);
        stdin_fd = -1;
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~HttpsServer() { stop(); }
};

std::vector<uint8_t> make_image(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        v[i] = (uint8_t)(x >> 16);
    }
    return v;
}

class UpdateWorker : public ::testing::Test {
protected:
    fs::path dir, www;
    HttpsServer server;
    SimProcess sim;
    LinkContext *link = nullptr;
    UpdateState st;
    UpdateConfig cfg{};
    std::vector<uint8_t> image;
    uint8_t image_md5[16];

    void SetUp() override
    {
        char tmpl[] = "/tmp/kavri-update-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        www = dir / "www";
        fs::create_directories(www / "fw");
        ASSERT_TRUE(make_certificates(dir)) << read_file(dir / "openssl.log");
        ASSERT_TRUE(server.start(www, dir));

        image = make_image(300000, 7);
        md5(image.data(), image.size(), image_md5);

        update_config_defaults(&cfg);
        snprintf(cfg.base_url, sizeof cfg.base_url, "https://127.0.0.1:%d", server.port);
        snprintf(cfg.ca_file, sizeof cfg.ca_file, "%s", (dir / "ca.pem").c_str());
        cfg.restart_step_ms = 10;  // the 80 restart steps, shortened
    }
    void TearDown() override
    {
        update_state_join(&st);
        link_stop(&link);
        sim_stop(&sim);
        server.stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void serve(const std::string &text, const std::vector<uint8_t> &img)
    {
        write_file(www / "fw" / "latest.txt", text);
        write_file(www / "fw" / "latest.img", std::string(img.begin(), img.end()));
    }
    void start_sim(const char *build)
    {
        ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--id", "sim-127.0.0.2", "--build", build,
                                     "--new-build", "250101000000", "--restart-silence", "300"}));
    }
    // The device link the worker scans with, over 127.0.0.0/24.
    void start_link()
    {
        LinkOptions o = no_adapter_options();
        o.no_initial_scan = 1;
        link = link_start(&o);
        ASSERT_NE(link, nullptr);
        uint32_t subnet = ipv4("127.0.0.0");
        link_set_subnets(link, &subnet, 1);
        link_on_device(link, &st, update_state_on_device);
        cfg.link = link;
    }
    // Starts the worker as the "Check" button does and waits for its end.
    std::string run_worker(int limit_ms = 60000)
    {
        EXPECT_EQ(update_worker_start(&st, &cfg), 0);
        EXPECT_TRUE(wait_until(limit_ms, [&] { return st.busy.load() == 0; })) << "the worker did not end";
        update_state_join(&st);
        EXPECT_EQ(st.progress_visible.load(), 0);
        char m[UPDATE_MESSAGE_CAP];
        update_state_get_message(&st, m);
        return m;
    }
};

TEST_F(UpdateWorker, UpdatesTheSimulatedDongleOverTheNetwork)
{
    serve("250101000000|" + hex(image_md5, 16), image);
    start_sim("240101000000");
    start_link();
    EXPECT_EQ(run_worker(), "Succeded to update firmware!!");
    // The bar stops where the restart wait leaves it.
    EXPECT_FLOAT_EQ(st.progress.load(), 79.0f / 130.0f);

    ASSERT_TRUE(sim_wait_event(&sim, "firmware", 1, 5000));
    auto fw = sim_events(&sim, "firmware")[0];
    EXPECT_EQ(json_int(fw, "size"), 300000);
    EXPECT_EQ(json_int(fw, "received"), 300000);
    EXPECT_EQ(json_int(fw, "md5_ok"), 1);
    EXPECT_EQ(json_field(fw, "md5"), hex(image_md5, 16));
    ASSERT_EQ(sim_events(&sim, "update_firmware").size(), 1u);
    ASSERT_TRUE(sim_wait_event(&sim, "restarted", 1, 5000));
    EXPECT_EQ(json_field(sim_events(&sim, "restarted")[0], "build"), "250101000000");
    std::string req = server.requests();
    EXPECT_NE(req.find("GET /fw/latest.txt 200"), std::string::npos) << req;
    EXPECT_NE(req.find("GET /fw/latest.img 200"), std::string::npos) << req;
}

// What the operator reads when the update cannot or need not happen; the
// dongle receives nothing in every one of these, and where the text already
// settles it the image is not downloaded.
TEST_F(UpdateWorker, EveryRefusalHasItsMessageAndUploadsNothing)
{
    enum Server { SERVED, CORRUPT, NOTHING, UNREACHABLE, UNTRUSTED };
    struct Case {
        const char *what;
        Server server;
        const char *text_end;   // after "<build>|<md5>"
        const char *text_build, *dongle_build;  // no dongle when null
        const char *message;
        int fetches_image;  // 1, 0, or -1 when it does not matter
    } cases[] = {
        {"no dongle", SERVED, "", "250101000000", nullptr, "Could not detect KAVRI Viewer over USB or network!", -1},
        {"corrupt image", CORRUPT, "", "250101000000", "240101000000", "The firmware is corrupted, please try again!", 1},
        {"unreachable", UNREACHABLE, "", "250101000000", "240101000000", "Failed to check update from internet!", 0},
        {"outside the CA", UNTRUSTED, "", "250101000000", "240101000000", "Failed to check update from internet!", 0},
        {"no text (404)", NOTHING, "", "250101000000", "240101000000", "Failed to check update from internet!", 0},
        {"same build", SERVED, "", "240427225356", "240427225356", "The firmware is up to date!", 0},
        {"line end after the digest", SERVED, "\n", "250101000000", "240101000000", "", 0},
        {"old network dongle", SERVED, "", "250101000000", "230302190448",
         "The device doesn't support network update! Please plug the USB cable to the computer.", -1},
    };
    start_link();
    const UpdateConfig good = cfg;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        cfg = good;
        fs::remove(www / "fw" / "latest.txt");
        fs::remove(www / "fw" / "latest.img");
        std::vector<uint8_t> img = image;
        if (c.server == CORRUPT)
            img[1000] ^= 0x01;
        if (c.server != NOTHING)
            serve(std::string(c.text_build) + "|" + hex(image_md5, 16) + c.text_end, img);
        if (c.server == UNREACHABLE)
            snprintf(cfg.base_url, sizeof cfg.base_url, "https://127.0.0.1:1");
        if (c.server == UNTRUSTED)
            cfg.ca_file[0] = 0;  // the system's store does not know the test CA
        if (c.dongle_build)
            start_sim(c.dongle_build);
        size_t requests_before = server.requests().size();
        EXPECT_EQ(run_worker(), c.message);
        std::string req = server.requests().substr(requests_before);
        if (c.server == UNTRUSTED) {
            EXPECT_EQ(req.find("GET"), std::string::npos) << "no request may pass an unverified TLS session";
        }
        if (c.fetches_image >= 0) {
            EXPECT_EQ(req.find("latest.img") != std::string::npos, c.fetches_image == 1) << req;
        }
        if (c.dongle_build) {
            EXPECT_TRUE(sim_events(&sim, "update_firmware").empty());
            EXPECT_TRUE(sim_events(&sim, "firmware").empty());
            sim_stop(&sim);
        }
    }
}

// The HTTPS client alone: the body, the progress it reports, its limits.
struct Progress {
    int calls = 0;
    uint64_t now = 0, total = 0;
    bool monotonic = true;
    static int on(void *c, uint64_t now, uint64_t total)
    {
        Progress *p = (Progress *)c;
        if (now < p->now)
            p->monotonic = false;
        p->calls++;
        p->now = now;
        p->total = total;
        return 0;
    }
};

TEST_F(UpdateWorker, HttpClientFetchesWithProgressAndKeepsItsLimits)
{
    serve("x", image);
    std::string url = std::string(cfg.base_url) + "/fw/latest.img";
    Progress p;
    HttpOptions o{cfg.ca_file, 10000, 0, Progress::on, &p};
    uint8_t *body = nullptr;
    size_t size = 0;
    ASSERT_EQ(http_get(url.c_str(), &o, &body, &size), 0);
    ASSERT_EQ(size, image.size());
    EXPECT_EQ(0, memcmp(body, image.data(), size));
    EXPECT_EQ(body[size], 0) << "a spare zero follows the body";
    http_free(body);
    EXPECT_GT(p.calls, 0);
    EXPECT_TRUE(p.monotonic);
    EXPECT_EQ(p.now, image.size());
    EXPECT_EQ(p.total, image.size());

    o.max_bytes = 1000;
    EXPECT_EQ(http_get(url.c_str(), &o, &body, &size), -1);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(size, 0u);
    o.max_bytes = 0;
    std::string plain = "http://127.0.0.1:" + std::to_string(server.port) + "/fw/latest.img";
    EXPECT_EQ(http_get(plain.c_str(), &o, &body, &size), -1) << "only https";
    std::string by_name = "https://localhost:" + std::to_string(server.port) + "/fw/latest.img";
    EXPECT_EQ(http_get(by_name.c_str(), &o, &body, &size), 0) << "the certificate names localhost too";
    http_free(body);
    std::string missing = std::string(cfg.base_url) + "/fw/none.img";
    EXPECT_EQ(http_get(missing.c_str(), &o, &body, &size), -1) << "404 is a failure";
}

TEST_F(UpdateWorker, HttpClientRefusesACertificateForAnotherHost)
{
    // Signed by the trusted CA, but for 127.0.0.3: the host name check fails.
    HttpsServer other;
    ASSERT_TRUE(other.start(www, dir, "other"));
    serve("x", image);
    HttpOptions o{cfg.ca_file, 10000, 0, nullptr, nullptr};
    uint8_t *body = nullptr;
    size_t size = 0;
    std::string url = "https://127.0.0.1:" + std::to_string(other.port) + "/fw/latest.img";
    EXPECT_EQ(http_get(url.c_str(), &o, &body, &size), -1);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(other.requests().find("GET"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The whole HID route: the worker with the USB layer's own operations against
// the fake dongle in plain HID mode (0x2002 and later are asked for their
// build) takes the image through feature reports, or says why not; a failed
// flashing is not reported as success.
TEST_F(UpdateWorker, HidDongleTakesTheImageOrSaysWhy)
{
    struct Row {
        std::function<void(UsbFakeConfig &)> set;
        const char *message;
        bool downloads;
        const char *log;  // on standard error; null: not checked
    } const rows[] = {
        {[](UsbFakeConfig &c) { c.hid_version = 0x2002; }, "Succeded to update firmware!!", true, nullptr},
        {[](UsbFakeConfig &c) { c.feature_length = 41; }, "The device doesn't meet update requirement!", false, nullptr},
        {[](UsbFakeConfig &c) { c.attributes_readable = false; }, "Failed to connect to KAVRI Viewer!", false, nullptr},
        {[](UsbFakeConfig &c) { c.deny_open_ms = -1; }, "Failed to connect to KAVRI Viewer!", false,
         "no permission; install the udev rule 70-kavri-viewer.rules"},
        {[](UsbFakeConfig &c) { c.refuse_code = 0xA5; }, "Failed to update firmware, please try again!", true, nullptr},
        {[](UsbFakeConfig &c) { c.hid_version = 0x2002, c.build = 250101000000ull; }, "The firmware is up to date!",
         false, nullptr},
    };
    serve("250101000000|" + hex(image_md5, 16), image);
    for (const Row &row : rows) {
        UsbFake *usb = usb_fake_create();
        UsbFakeConfig c;
        c.hid_mode = true;
        c.build = 240101000000ull;
        row.set(c);
        int dongle = usb_fake_add(usb, c);
        UpdateUsbOps hid_ops;
        hid_fw_usb_ops(usb_fake_backend(usb), &hid_ops);
        cfg.usb = &hid_ops;
        size_t downloads_before = count(server.requests(), "GET /fw/latest.img");
        usb_log_reset();
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_worker(), row.message);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(count(server.requests(), "GET /fw/latest.img") > downloads_before, row.downloads) << row.message;
        if (row.log) {
            EXPECT_NE(log.find(row.log), std::string::npos) << log;
        }
        if (row.downloads && !c.refuse_code) {
            EXPECT_EQ(usb_fake_stats(usb, dongle).firmware, image);
            EXPECT_FLOAT_EQ(st.progress.load(), 1.0f);
        }
        usb_fake_destroy(&usb);
    }
}

TEST_F(UpdateWorker, CancelledNetworkUploadSendsNoImage)
{
    start_sim("240101000000");
    DeviceRecord target{};
    target.address.in4.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &target.address.in4.sin_addr);
    NetUploadTiming t{2000, 60000, 10, 10};
    // Cancelled while the dongle digests the command: the image never goes.
    st.cancel = 1;
    EXPECT_EQ(net_upload(&target, image.data(), image.size(), image_md5, &st, &t), -1);
    char m[UPDATE_MESSAGE_CAP];
    update_state_get_message(&st, m);
    EXPECT_STREQ(m, "");
    ASSERT_TRUE(sim_wait_event(&sim, "update_firmware", 1, 5000));
    // A whole upload after it: the dongle's first image is the whole one.
    st.cancel = 0;
    t.command_wait_ms = 10;
    EXPECT_EQ(net_upload(&target, image.data(), image.size(), image_md5, &st, &t), 0);
    ASSERT_TRUE(sim_wait_event(&sim, "firmware", 1, 5000));
    std::vector<std::string> fw = sim_events(&sim, "firmware");
    EXPECT_EQ(json_int(fw[0], "complete"), 1);
    EXPECT_EQ(json_int(fw[0], "received"), 300000);
}

}  // namespace

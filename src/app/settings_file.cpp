#include "app/settings_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/bytes.h"

std::vector<uint32_t> &subnet_list(void)
{
    // Never destroyed: a late save during shutdown must still find it.
    static std::vector<uint32_t> *list = new std::vector<uint32_t>();
    return *list;
}

std::string &settings_target_layout(void)
{
    static std::string *layout = new std::string(SETTINGS_DEFAULT_LAYOUT);
    return *layout;
}

// Values travel as 4 bytes a, b, c, 0 both in memory and on disk, so a value
// is the little-endian reading of those bytes.
int settings_parse(const uint8_t *data, size_t len, std::vector<uint32_t> *list)
{
    size_t pos = 0;
    for (;;) {
        if (len - pos < 4 || rd_le32(data + pos) != SETTINGS_MAGIC)
            return 0;
        pos += 4;
        if (len - pos < 4)
            return -1;
        uint32_t n = rd_le32(data + pos);
        pos += 4;
        if (n > SETTINGS_MAX_COUNT)
            return -1;
        list->clear();
        for (uint32_t i = 0; i < n; i++) {
            if (len - pos < 4)
                return -1;
            list->push_back(rd_le32(data + pos));
            pos += 4;
        }
    }
}

static bool name_part_valid(const std::string &s, bool dash)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || (dash && c == '-')))
            return false;
    return true;
}

bool settings_layout_name_valid(const std::string &name)
{
    if (name.empty() || name.size() > 31)
        return false;
    size_t open = name.find('(');
    if (open == std::string::npos)
        return name_part_valid(name, false);
    return name.back() == ')' && name_part_valid(name.substr(0, open), false) &&
           name_part_valid(name.substr(open + 1, name.size() - open - 2), true);
}

int settings_parse_layout(const uint8_t *data, size_t len, std::string *layout)
{
    // Past the blocks, whatever their counts (a list of more than 100 is not
    // loaded, but the records after it still are).
    size_t pos = 0;
    while (len - pos >= 8 && rd_le32(data + pos) == SETTINGS_MAGIC) {
        uint64_t n = rd_le32(data + pos + 4);
        if (4 * n > len - pos - 8)
            return 0;
        pos += 8 + 4 * n;
    }
    if (len - pos < 4 || rd_le32(data + pos) != SETTINGS_END)
        return 0;
    pos += 4;
    int found = 0;
    while (len - pos >= 8) {
        uint32_t tag = rd_le32(data + pos), n = rd_le32(data + pos + 4);
        pos += 8;
        if (n > SETTINGS_MAX_RECORD || n > len - pos)
            break;
        std::string value((const char *)data + pos, n);
        pos += n;
        if (tag == SETTINGS_TAG_LAYOUT && settings_layout_name_valid(value)) {
            *layout = value;
            found = 1;
        }
    }
    return found;
}

std::vector<uint8_t> settings_serialize(const std::vector<uint32_t> &list, const std::string &layout)
{
    bool record = layout != SETTINGS_DEFAULT_LAYOUT && settings_layout_name_valid(layout);
    std::vector<uint8_t> out(12 + 4 * list.size() + (record ? 8 + layout.size() : 0));
    uint8_t *p = out.data();
    wr_le32(p, SETTINGS_MAGIC);
    wr_le32(p + 4, (uint32_t)list.size());
    p += 8;
    for (uint32_t v : list) {
        wr_le32(p, v);
        p += 4;
    }
    wr_le32(p, SETTINGS_END);
    if (record) {
        wr_le32(p + 4, SETTINGS_TAG_LAYOUT);
        wr_le32(p + 8, (uint32_t)layout.size());
        std::memcpy(p + 12, layout.data(), layout.size());
    }
    return out;
}

static std::string home_folder(void)
{
    const char *home = std::getenv("HOME");
    if (home && home[0])
        return home;
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0])
        return found->pw_dir;
    return std::string();
}

std::string settings_path(void)
{
    std::string base;
    const char *xdg = std::getenv("XDG_DATA_HOME");
    // Relative values are invalid for XDG_DATA_HOME and are ignored.
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        std::string home = home_folder();
        if (!home.empty())
            base = home + "/.local/share";
    }
    if (base.empty())
        return "setting.dat";
    return base + "/KAVRI/KAVRIViewer/setting.dat";
}

static void make_parent_folder(const std::string &path)
{
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
}

int settings_load_from(const std::string &path, std::vector<uint32_t> *list, std::string *layout)
{
    make_parent_folder(path);
    // Non-blocking so that a FIFO of that name cannot hang start-up.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // a read error ends the data like a short file does
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    close(fd);
    settings_parse(bytes.data(), bytes.size(), list);
    if (layout)
        settings_parse_layout(bytes.data(), bytes.size(), layout);
    return 0;
}

static int write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return -1;
        p += put;
        n -= (size_t)put;
    }
    return 0;
}

int settings_save_to(const std::string &path, const std::vector<uint32_t> &list, const std::string &layout)
{
    make_parent_folder(path);
    std::vector<uint8_t> bytes = settings_serialize(list, layout);

    // Truncating the file and writing it again would leave a cut or empty file
    // behind when the write fails (disk full, quota, power loss). The new
    // contents go to a file of their own in the same folder and replace the old
    // file in one rename, so the old file stays whole until the new one is.
    static std::atomic<unsigned> counter{0};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; attempt++) {
        tmp = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return -1;
    }
    if (fd < 0)
        return -1;

    bool ok = write_all(fd, bytes.data(), bytes.size()) == 0 && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }

    // Make the rename itself durable; failing here changes nothing visible.
    std::string folder = std::filesystem::path(path).parent_path().string();
    int dfd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

void settings_load(void) { settings_load_from(settings_path(), &subnet_list(), &settings_target_layout()); }

void settings_save(void) { settings_save_to(settings_path(), subnet_list(), settings_target_layout()); }

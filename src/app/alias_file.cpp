#include "app/alias_file.h"

#include "app/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The line format is defined by the expression ^(.*?):(.+?)\s*$, but a
// backtracking regex engine recurses once per character and overflows the
// stack on a long line, and the file comes from the operator. Worked out by
// hand the expression reduces to a few scans:
// - group 1 ends at the first colon: a split there fails only when nothing
//   follows the colon (then no later colon exists) or when a CR lies in the
//   part group 2 has to cover, and every later split still leaves that CR in
//   group 2 or moves it into group 1;
// - group 2 is the shortest non-empty prefix of the rest after which only
//   white space follows, and neither group may hold a CR ('.' excludes it).
namespace {

bool is_regex_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void copy_cut(char (&field)[256], const char *p, size_t n)
{
    if (n > sizeof field - 1)
        n = sizeof field - 1;
    std::memcpy(field, p, n);
    field[n] = '\0';
}

bool match_line(const char *line, size_t n, AliasEntry *out)
{
    const char *colon = static_cast<const char *>(std::memchr(line, ':', n));
    if (!colon)
        return false;
    size_t alias_len = (size_t)(colon - line);
    if (std::memchr(line, '\r', alias_len))
        return false;
    const char *rest = colon + 1;
    size_t rest_len = n - alias_len - 1;
    if (rest_len == 0)
        return false;
    size_t key_len = rest_len;
    while (key_len > 0 && is_regex_space(rest[key_len - 1]))
        key_len--;
    if (key_len == 0)
        key_len = 1;
    if (std::memchr(rest, '\r', key_len))
        return false;
    copy_cut(out->alias, line, alias_len);
    copy_cut(out->key, rest, key_len);
    return true;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

bool equal_ignoring_case(const char *a, const char *b)
{
    for (; *a && *b; a++, b++)
        if (ascii_lower(*a) != ascii_lower(*b))
            return false;
    return *a == *b;
}

} // namespace

std::vector<AliasEntry> alias_parse(const char *text, size_t len)
{
    std::vector<AliasEntry> list;
    if (!text)
        return list;
    const void *zero = std::memchr(text, '\0', len);
    if (zero)
        len = (size_t)(static_cast<const char *>(zero) - text);

    size_t pos = 0;
    while (pos <= len) {
        const void *lf = std::memchr(text + pos, '\n', len - pos);
        size_t end = lf ? (size_t)(static_cast<const char *>(lf) - text) : len;
        AliasEntry e;
        if (match_line(text + pos, end - pos, &e))
            list.push_back(e);
        pos = end + 1;
    }
    return list;
}

int alias_read(const std::string &path, std::vector<AliasEntry> *out)
{
    out->clear();
    // Non-blocking open and a regular-file check, so that a FIFO or device
    // named alias.txt cannot hang the user interface at start-up.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    std::vector<char> text(ALIAS_FILE_MAX);
    size_t have = 0;
    while (have < ALIAS_FILE_MAX) {
        ssize_t got = read(fd, text.data() + have, ALIAS_FILE_MAX - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        have += (size_t)got;
    }
    close(fd);
    *out = alias_parse(text.data(), have);
    return 0;
}

std::vector<AliasEntry> alias_load_from(const std::string &path)
{
    std::vector<AliasEntry> list;
    alias_read(path, &list);
    return list;
}

std::vector<std::string> alias_paths(void)
{
    std::vector<std::string> paths;

    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            break;
        if ((size_t)n < buf.size()) {
            std::string exe(buf.data(), (size_t)n);
            size_t slash = exe.rfind('/');
            if (slash != std::string::npos)
                paths.push_back(exe.substr(0, slash + 1) + "alias.txt");
            break;
        }
        if (buf.size() >= (1u << 20))
            break;
        buf.resize(buf.size() * 2);
    }

    // The settings file's folder. Without a home folder settings_path() falls
    // back to a bare name in the working folder, which is nobody's data
    // folder, so no second place is offered then.
    std::string settings = settings_path();
    size_t slash = settings.rfind('/');
    if (slash != std::string::npos)
        paths.push_back(settings.substr(0, slash + 1) + "alias.txt");
    return paths;
}

std::vector<AliasEntry> alias_load_first(const std::vector<std::string> &paths)
{
    std::vector<AliasEntry> list;
    for (const std::string &path : paths)
        if (alias_read(path, &list) == 0)
            return list;
    return {};
}

std::vector<AliasEntry> alias_load(void) { return alias_load_first(alias_paths()); }

const char *alias_lookup(const std::vector<AliasEntry> &list, const char *location)
{
    if (!location)
        return nullptr;
    for (const AliasEntry &e : list)
        if (equal_ignoring_case(e.key, location))
            return e.alias;
    return nullptr;
}

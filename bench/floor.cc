// The floor of linking and unlinking: bare loops that read the same manifest
// and make, for the same entries, only the system calls the operations must
// make.  No exclusion check, no bounded formatting, no messages beyond the
// one line unlinking writes per removed link.
#include "bench/floor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

// Reads the manifest entry by entry (the "./" prefix and the line feed
// dropped); calls fn(entry, length) for every non-empty one.
template <typename Fn>
void each_entry(FILE *f, char *&line, std::size_t &cap, Fn &&fn) {
    ssize_t n;
    while ((n = getline(&line, &cap, f)) > 0) {
        char *e = line;
        if (e[0] == '.' && e[1] == '/') {
            e += 2;
            n -= 2;
        }
        if (n > 0 && e[n - 1] == '\n') e[--n] = '\0';
        if (n > 0) fn(e, static_cast<std::size_t>(n));
    }
}

// "/" + entry and plugin + "/" + entry, by copying.
struct Names {
    char link[256];
    char source[256];
    std::size_t plen;
    explicit Names(const char *plugin) {
        plen = std::strlen(plugin);
        std::memcpy(source, plugin, plen);
        source[plen] = '/';
        link[0] = '/';
    }
    void set(const char *e, std::size_t n) {
        std::memcpy(link + 1, e, n + 1);
        std::memcpy(source + plen + 1, e, n + 1);
    }
};

}  // namespace

int floor_link(const char *manifest, const char *plugin) {
    FILE *f = std::fopen(manifest, "r");
    if (!f) return -1;
    char *line = nullptr;
    std::size_t cap = 0;
    Names nm(plugin);
    int failures = 0;
    struct stat st;
    each_entry(f, line, cap, [&](const char *e, std::size_t n) {
        nm.set(e, n);
        if (::lstat(nm.source, &st) != 0)
            ++failures;
        else if (!S_ISDIR(st.st_mode) && ::stat(nm.link, &st) == 0)
            ++failures;
    });
    std::rewind(f);
    each_entry(f, line, cap, [&](const char *e, std::size_t n) {
        nm.set(e, n);
        if (::lstat(nm.source, &st) != 0) {
            ++failures;
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            if (::mkdir(nm.link, 07777) != 0 && errno != EEXIST) ++failures;
            return;
        }
        const char *target = nm.source;
        char resolved[512];
        if (S_ISLNK(st.st_mode)) {
            char contents[256];
            ssize_t k = ::readlink(nm.source, contents, sizeof contents - 1);
            if (k <= 0) {
                ++failures;
                return;
            }
            contents[k] = '\0';
            if (contents[0] != '/') {
                const char *slash = std::strrchr(nm.source, '/');
                std::size_t d = static_cast<std::size_t>(slash - nm.source + 1);
                std::memcpy(resolved, nm.source, d);
                std::memcpy(resolved + d, contents, static_cast<std::size_t>(k) + 1);
                target = resolved;
            } else {
                target = contents;
            }
        }
        if (::symlink(target, nm.link) != 0) ++failures;
    });
    std::free(line);
    std::fclose(f);
    return failures;
}

int floor_unlink(const char *manifest, const char *plugin) {
    FILE *f = std::fopen(manifest, "r");
    if (!f) return -1;
    char *line = nullptr;
    std::size_t cap = 0;
    Names nm(plugin);
    const std::size_t plen = std::strlen(plugin);
    int failures = 0;
    struct stat st;
    each_entry(f, line, cap, [&](const char *e, std::size_t n) {
        nm.set(e, n);
        if (::lstat(nm.link, &st) != 0 || S_ISDIR(st.st_mode)) return;
        char contents[256];
        ssize_t k = ::readlink(nm.link, contents, sizeof contents - 1);
        if (k < 0) {
            ++failures;
            return;
        }
        contents[k] = '\0';
        if (static_cast<std::size_t>(k) > plen && std::strncmp(contents, plugin, plen) == 0) {
            char msg[320];
            int m = std::snprintf(msg, sizeof msg, "plugin_unlink_from_exec_path: remove %s\n",
                                  nm.link);
            (void)!::write(2, msg, static_cast<std::size_t>(m));
            if (std::remove(nm.link) != 0) ++failures;
        }
    });
    std::rewind(f);
    each_entry(f, line, cap, [&](const char *e, std::size_t n) {
        nm.set(e, n);
        if (::stat(nm.link, &st) == 0 && S_ISDIR(st.st_mode)) std::remove(nm.link);
    });
    std::free(line);
    std::fclose(f);
    return failures;
}

}  // namespace bench

// plugin_icf.cc - image configuration reader (libplugin_icf.so).
//
// File format: text, one image name per line.  Blanks (space, tab, CR, VT,
// FF) around a name are trimmed; blank lines and lines whose first non-blank
// character is '#' are ignored.  A '#' after a name is part of the name.  A
// line (without its newline) longer than PLUGIN_ICF_MAX_LINE bytes, or one
// holding a NUL byte, makes plugin_icf_open fail with PLUGIN_ICF_ERR_LINE.  The
// last line needs no newline.
//
// plugin_icf_open reads and checks the whole file at once; the handle then
// holds every name, so both walks yield the same names even if the file
// changes, and a name handed out stays valid until plugin_icf_close.

#include "plugin_icf.h"

#include "frame/export.h"
#include "frame/own.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct plugin_icf {
    char *names;     // the names, NUL-terminated, one after the other
    uint32_t count;  // number of names
    uint32_t next;   // index of the next name of the walk
    char *cursor;    // start of name `next` in names
};

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Reads the whole stream into a NUL-terminated malloc'd buffer.
uint32_t slurp(FILE *f, plugin_intn::Owned<char[]> *out, std::size_t *len) {
    std::size_t cap = 4096, n = 0;
    plugin_intn::Owned<char[]> buf = plugin_intn::alloc<char>(cap);
    if (!buf) return PLUGIN_ICF_ERR_NOMEM;
    for (;;) {
        if (cap - n < 2) {
            char *bigger = static_cast<char *>(std::realloc(buf.get(), cap * 2));
            if (!bigger) return PLUGIN_ICF_ERR_NOMEM;
            (void)buf.release();  // realloc has taken it over
            buf.reset(bigger);
            cap *= 2;
        }
        std::size_t got = std::fread(buf.get() + n, 1, cap - n - 1, f);
        n += got;
        if (got == 0) break;
    }
    if (std::ferror(f)) return PLUGIN_ICF_ERR_READ;
    buf[n] = '\0';
    *out = std::move(buf);
    *len = n;
    return 0;
}

// Turns the file text in buf (len bytes) into the packed name list, in place.
uint32_t parse(char *buf, std::size_t len, uint32_t *count) {
    std::size_t out = 0;
    uint32_t n = 0;
    std::size_t pos = 0;
    while (pos < len) {
        char *line = buf + pos;
        char *nl = static_cast<char *>(std::memchr(line, '\n', len - pos));
        std::size_t llen = nl ? static_cast<std::size_t>(nl - line) : len - pos;
        pos += llen + (nl ? 1 : 0);
        if (llen > PLUGIN_ICF_MAX_LINE || std::memchr(line, '\0', llen)) return PLUGIN_ICF_ERR_LINE;
        std::size_t b = 0, e = llen;
        while (b < e && blank(line[b])) ++b;
        while (e > b && blank(line[e - 1])) --e;
        if (b == e || line[b] == '#') continue;
        // The packed list never overtakes the text still to be read.
        std::memmove(buf + out, line + b, e - b);
        out += e - b;
        buf[out++] = '\0';
        ++n;
    }
    *count = n;
    return 0;
}

}  // namespace

extern "C" PI_EXPORT uint32_t plugin_icf_open(const char *path, plugin_icf **handle) {
    if (!path || !handle) return PLUGIN_ICF_ERR_INVALID_ARG;
    plugin_intn::Owned<char[]> buf;
    std::size_t len = 0;
    uint32_t rc = PLUGIN_ICF_ERR_OPEN;
    if (const plugin_intn::File f = plugin_intn::open_file(path, "r"))
        rc = slurp(f.get(), &buf, &len);
    if (rc != 0) return rc;
    uint32_t count = 0;
    rc = parse(buf.get(), len, &count);
    if (rc != 0) return rc;
    auto *h = static_cast<plugin_icf *>(std::malloc(sizeof(plugin_icf)));
    if (!h) return PLUGIN_ICF_ERR_NOMEM;
    h->names = buf.release();
    h->count = count;
    h->next = 0;
    h->cursor = h->names;
    *handle = h;
    return 0;
}

extern "C" PI_EXPORT uint32_t plugin_icf_get_name(plugin_icf *handle, const char **name) {
    if (!handle || !name) return PLUGIN_ICF_ERR_INVALID_ARG;
    if (handle->next >= handle->count) {
        *name = nullptr;
        return 0;
    }
    *name = handle->cursor;
    handle->cursor += std::strlen(handle->cursor) + 1;
    ++handle->next;
    return 0;
}

extern "C" PI_EXPORT uint32_t plugin_icf_first_img_name(plugin_icf *handle, const char **name) {
    if (!handle || !name) return PLUGIN_ICF_ERR_INVALID_ARG;
    handle->next = 0;
    handle->cursor = handle->names;
    return plugin_icf_get_name(handle, name);
}

extern "C" PI_EXPORT uint32_t plugin_icf_close(plugin_icf *handle) {
    if (!handle) return 0;
    std::free(handle->names);
    std::free(handle);
    return 0;
}

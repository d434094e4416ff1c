// plugin_str.cc - counted string sets in one pointer-free block (libplugin_str.so).
//
// Block layout (32-bit words in the host's byte order; the block is used only
// on the machine that wrote it):
//
//   offset 0          magic        0x50535452 ("PSTR" on a big-endian host)
//   offset 4          M            total size of the block, as given to init
//   offset 8          max_strings  string capacity n
//   offset 12         count        strings held
//   offset 16         text_used    bytes of string text held, terminators included
//   offset 20         offset table n words; entry i is the offset of string i
//                                  from the start of the text area
//   offset 20 + 4n    text area    the strings, NUL-terminated, one after the other
//
// M = 20 + 4n + b + 1 for a byte capacity of b (plugin_strings_memory_size).
// space_used = 20 + 4n + text_used.  An append of a string of length L
// succeeds when count < n and space_used + L + 1 < M, that is when
// text_used + L + 1 <= b: exactly b bytes of text (terminators included) fit.
//
// Every word is read with memcpy, so a block may sit at any address (a block
// embedded at an odd offset or read from a file).  Every access is checked
// against M and the capacities the header records; a damaged header makes the
// accessors answer their failure values instead of reading outside the block.
// M never exceeds INT32_MAX, the largest value plugin_strings_max_size can
// report.

#include "plugin_strings.h"

#include "frame/bytes.h"
#include "frame/export.h"
#include "frame/own.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kStringsMagic = 0x50535452u;
constexpr uint32_t kStringsHeader = 20;
constexpr uint64_t kMaxBlock = 0x7fffffffu;

enum Field : uint32_t { kFMagic = 0, kFSize = 4, kFMax = 8, kFCount = 12, kFUsed = 16 };

// The header of a block, checked for consistency.
struct View {
    const unsigned char *base;
    uint32_t size;  // M
    uint32_t max;   // n
    uint32_t count;
    uint32_t used;      // text bytes in use
    uint32_t text_off;  // 20 + 4n
    uint32_t text_cap;  // b + 1: bytes of the text area

    uint32_t entry(uint32_t i) const { return plugin_intn::load32(base, kStringsHeader + 4 * i); }
};

// Size of a block for capacities n and b; 0 when it would exceed kMaxBlock.
uint64_t block_size(uint64_t bytes, uint64_t strings) {
    uint64_t m = kStringsHeader + 4 * strings + bytes + 1;
    return m > kMaxBlock ? 0 : m;
}

bool view(const plugin_strings *set, View *v) {
    if (!set) return false;
    const void *b = set;
    if (plugin_intn::load32(b, kFMagic) != kStringsMagic) return false;
    v->base = static_cast<const unsigned char *>(b);
    v->size = plugin_intn::load32(b, kFSize);
    v->max = plugin_intn::load32(b, kFMax);
    v->count = plugin_intn::load32(b, kFCount);
    v->used = plugin_intn::load32(b, kFUsed);
    uint64_t fixed = kStringsHeader + 4 * static_cast<uint64_t>(v->max);
    if (v->size > kMaxBlock || fixed + 1 > v->size) return false;
    v->text_off = static_cast<uint32_t>(fixed);
    v->text_cap = static_cast<uint32_t>(v->size - fixed);
    // The terminating byte of the text area (b + 1) is never filled.
    return v->count <= v->max && v->used < v->text_cap;
}

// String i of a consistent block, or null when its entry is damaged.
const char *string_at(const View &v, uint32_t i) {
    if (i >= v.count) return nullptr;
    uint32_t off = v.entry(i);
    if (off >= v.used) return nullptr;
    const unsigned char *s = v.base + v.text_off + off;
    if (!std::memchr(s, '\0', v.used - off)) return nullptr;
    return reinterpret_cast<const char *>(s);
}

}  // namespace

extern "C" PI_EXPORT uint32_t plugin_strings_memory_size(uint32_t max_bytes, uint32_t max_strings) {
    return static_cast<uint32_t>(block_size(max_bytes, max_strings));
}

extern "C" PI_EXPORT int32_t plugin_strings_init(plugin_strings *set, uint32_t max_strings,
                                                 uint32_t memory_size) {
    if (!set) return -1;
    uint64_t fixed = kStringsHeader + 4 * static_cast<uint64_t>(max_strings);
    if (memory_size > kMaxBlock || fixed + 1 > memory_size) return -1;
    void *b = set;
    plugin_intn::store32(b, kFMagic, kStringsMagic);
    plugin_intn::store32(b, kFSize, memory_size);
    plugin_intn::store32(b, kFMax, max_strings);
    plugin_intn::store32(b, kFCount, 0);
    plugin_intn::store32(b, kFUsed, 0);
    // The offset table and text area are cleared so that a block written to a
    // file carries no stale bytes.
    std::memset(static_cast<unsigned char *>(b) + kStringsHeader, 0, memory_size - kStringsHeader);
    return 0;
}

extern "C" PI_EXPORT plugin_strings *plugin_strings_malloc(uint32_t max_strings,
                                                           uint32_t max_bytes) {
    uint64_t m = block_size(max_bytes, max_strings);
    if (m == 0) return nullptr;
    plugin_intn::Owned<plugin_strings> set(
        static_cast<plugin_strings *>(std::malloc(static_cast<std::size_t>(m))));
    if (!set || plugin_strings_init(set.get(), max_strings, static_cast<uint32_t>(m)) < 0) {
        return nullptr;
    }
    return set.release();
}

extern "C" PI_EXPORT void plugin_strings_free(plugin_strings *set) { std::free(set); }

extern "C" PI_EXPORT int32_t plugin_strings_max_size(const plugin_strings *set) {
    View v;
    return view(set, &v) ? static_cast<int32_t>(v.size) : -1;
}

extern "C" PI_EXPORT int32_t plugin_strings_space_used(const plugin_strings *set) {
    View v;
    return view(set, &v) ? static_cast<int32_t>(v.text_off + v.used) : -1;
}

extern "C" PI_EXPORT uint32_t plugin_strings_max_strings_get(const plugin_strings *set) {
    View v;
    return view(set, &v) ? v.max : 0;
}

extern "C" PI_EXPORT uint32_t plugin_strings_num_strings_get(const plugin_strings *set) {
    View v;
    return view(set, &v) ? v.count : 0;
}

extern "C" PI_EXPORT int32_t plugin_strings_append(plugin_strings *set, const char *s) {
    View v;
    if (!s || !view(set, &v) || v.count >= v.max) return -1;
    uint64_t len = std::strlen(s);
    uint64_t space = static_cast<uint64_t>(v.text_off) + v.used;
    if (!(space + len + 1 < v.size)) return -1;
    void *b = set;
    std::memcpy(static_cast<unsigned char *>(b) + v.text_off + v.used, s,
                static_cast<std::size_t>(len) + 1);
    plugin_intn::store32(b, kStringsHeader + 4 * v.count, v.used);
    plugin_intn::store32(b, kFUsed, v.used + static_cast<uint32_t>(len) + 1);
    plugin_intn::store32(b, kFCount, v.count + 1);
    return 0;
}

extern "C" PI_EXPORT const char *plugin_strings_get(const plugin_strings *set, uint32_t index) {
    View v;
    if (!view(set, &v)) return nullptr;
    return string_at(v, index);
}

extern "C" PI_EXPORT int32_t plugin_strings_find(const plugin_strings *set, const char *s) {
    View v;
    if (!s || !view(set, &v)) return -1;
    for (uint32_t i = 0; i < v.count && i <= 0x7fffffffu; ++i) {
        const char *held = string_at(v, i);
        if (held && std::strcmp(held, s) == 0) return static_cast<int32_t>(i);
    }
    return -1;
}

// dst receives src's strings at the same indices; anything dst held before is
// dropped.  The whole copy is checked against dst's capacities first, so a
// failure leaves dst unchanged.
extern "C" PI_EXPORT int32_t plugin_strings_copy(plugin_strings *dst, const plugin_strings *src) {
    View d, s;
    if (!view(dst, &d) || !view(src, &s)) return -1;
    if (dst == src) return 0;
    if (s.count > d.max) return -1;
    uint64_t total = 0;
    for (uint32_t i = 0; i < s.count; ++i) {
        const char *str = string_at(s, i);
        if (!str) return -1;
        total += std::strlen(str) + 1;
    }
    // Appending all of them one by one succeeds exactly when the text fits in
    // the byte capacity b = text_cap - 1.
    if (total >= d.text_cap) return -1;
    void *b = dst;
    plugin_intn::store32(b, kFCount, 0);
    plugin_intn::store32(b, kFUsed, 0);
    for (uint32_t i = 0; i < s.count; ++i) {
        if (plugin_strings_append(dst, string_at(s, i)) < 0)
            return -1;  // cannot happen after the checks above
    }
    return 0;
}

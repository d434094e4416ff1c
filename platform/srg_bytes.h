// Software records in the record library's stored form (see platform/srg.cc):
// a 28-byte header of big-endian words (magic "SRG1", size, flags, swid offset
// and length, list offset and length), the swid with its NUL, then the
// dependency list (length, count, string offsets, the strings).  Used by the
// tests and the benchmarks to make records without the tools.
#ifndef PI_PLATFORM_SRG_BYTES_H
#define PI_PLATFORM_SRG_BYTES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/bytes.h"

namespace srg_format {

inline void put_be32(std::string &s, std::size_t at, uint32_t v) {
    plugin_intn::put_be32(s.data(), at, v);
}

// Bytes of a record; no swid when swid is empty-optional, no list when deps
// is empty-optional (a present but empty list holds no string).
inline std::string record_bytes(const std::optional<std::string> &swid,
                                const std::optional<std::vector<std::string>> &deps) {
    std::string r(28, '\0');
    r.replace(0, 4, "SRG1");
    uint32_t flags = 0;
    if (swid) {
        flags |= 1;
        put_be32(r, 12, static_cast<uint32_t>(r.size()));
        put_be32(r, 16, static_cast<uint32_t>(swid->size()));
        r += *swid;
        r += '\0';
    }
    if (deps) {
        flags |= 2;
        std::string list(8 + 4 * deps->size(), '\0');
        put_be32(list, 4, static_cast<uint32_t>(deps->size()));
        for (std::size_t i = 0; i < deps->size(); ++i) {
            put_be32(list, 8 + 4 * i, static_cast<uint32_t>(list.size()));
            list += (*deps)[i];
            list += '\0';
        }
        put_be32(list, 0, static_cast<uint32_t>(list.size()));
        put_be32(r, 20, static_cast<uint32_t>(r.size()));
        put_be32(r, 24, static_cast<uint32_t>(list.size()));
        r += list;
    }
    put_be32(r, 8, flags);
    put_be32(r, 4, static_cast<uint32_t>(r.size()));
    return r;
}

}  // namespace srg_format

#endif

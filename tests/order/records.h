// Software records for the ordering tests, built in the record library's
// stored form (see platform/srg.cc): a 28-byte header of big-endian words
// (magic "SRG1", size, flags, swid offset and length, list offset and
// length), the swid with its NUL, then the dependency list (length, count,
// string offsets, the strings).
#ifndef PI_TESTS_ORDER_RECORDS_H
#define PI_TESTS_ORDER_RECORDS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/srg.h"
#include "tests/support/capture.h"

namespace pit::order {

inline void put_be32(std::string &s, std::size_t at, uint32_t v) {
    s[at] = static_cast<char>(v >> 24);
    s[at + 1] = static_cast<char>(v >> 16);
    s[at + 2] = static_cast<char>(v >> 8);
    s[at + 3] = static_cast<char>(v);
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

// A set of records owned by the test, handed to the ordering operations as
// an array of record pointers.
class Records {
public:
    Records() = default;
    Records(const Records &) = delete;
    Records &operator=(const Records &) = delete;
    ~Records() {
        for (srg_record *r : recs_) std::free(r);
    }
    Records &add(const std::optional<std::string> &swid,
                 const std::optional<std::vector<std::string>> &deps = std::nullopt) {
        std::string bytes = record_bytes(swid, deps);
        auto *r = static_cast<srg_record *>(std::malloc(bytes.size()));
        std::memcpy(r, bytes.data(), bytes.size());
        recs_.push_back(r);
        return *this;
    }
    srg_record **get() { return recs_.data(); }
    uint32_t count() const { return static_cast<uint32_t>(recs_.size()); }
    // What srg_dump writes for record i.
    std::string dump(uint32_t i) const {
        std::string err;
        pit::captured([&] { return srg_dump(stderr, recs_[i]); }, nullptr, &err);
        return err;
    }

private:
    std::vector<srg_record *> recs_;
};

}  // namespace pit::order

#endif

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
#include "platform/srg_bytes.h"
#include "tests/support/capture.h"

namespace pit::order {


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

// Helpers of the software-id map tests.
#ifndef PI_TESTS_SWID_SWID_SUPPORT_H
#define PI_TESTS_SWID_SWID_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/plugin_strings.h"
#include "tests/support/fixture.h"

namespace pit::swid {

inline const plugin_strings *block(const plugin_swid_map *map) {
    return reinterpret_cast<const plugin_strings *>(reinterpret_cast<const char *>(map) + 8);
}

inline uint32_t word_at(const void *p, std::size_t offset) {
    uint32_t w;
    std::memcpy(&w, static_cast<const char *>(p) + offset, 4);
    return w;
}

inline void put_word(void *p, std::size_t offset, uint32_t w) {
    std::memcpy(static_cast<char *>(p) + offset, &w, 4);
}

// The map's size-word bytes.
inline std::string bytes_of(const plugin_swid_map *map) {
    return std::string(reinterpret_cast<const char *>(map), static_cast<std::size_t>(plugin_swid_map_size(map)));
}

// Intact, and the size word is the block's size + 12.
inline bool consistent(const plugin_swid_map *map) {
    return plugin_swid_map_integrity_ok(map) == 1 &&
           plugin_swid_map_size(map) == plugin_strings_max_size(block(map)) + 12;
}

}  // namespace pit::swid

#endif

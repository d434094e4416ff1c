// The software-id map: plugin ids paired with software ids in one
// self-describing heap block that is also the map file's image.
//
// Layout, in the machine's byte order, the same in memory and in the file:
//   offset 0       magic word   0x504C5547
//   offset 4       size word    M + 12, the whole map in bytes
//   offset 8       a plugin_strings block of M bytes
//   offset 8 + M   trailer word 0x53574944
// M is plugin_strings_max_size() of the block.  The words are read and
// written with memcpy, so a map at any address is handled.
//
// The in-memory operations are here; the file operations are in swid_file.cc.
#include "swid/swid_map.h"

#include <cstring>

#include "frame/export.h"
#include "frame/own.h"

#include "platform/plugin_strings.h"

namespace plugin_intn::swid {

plugin_strings *block(plugin_swid_map *map) {
    return reinterpret_cast<plugin_strings *>(reinterpret_cast<unsigned char *>(map) +
                                              kBlockOffset);
}

const plugin_strings *block(const plugin_swid_map *map) {
    return reinterpret_cast<const plugin_strings *>(reinterpret_cast<const unsigned char *>(map) +
                                                    kBlockOffset);
}

}  // namespace plugin_intn::swid

using namespace plugin_intn::swid;

extern "C" {

PI_EXPORT plugin_swid_map *plugin_swid_map_alloc(uint32_t max_strings, uint32_t max_bytes) {
    uint32_t m = plugin_strings_memory_size(max_bytes, max_strings);
    // The size word is a signed 32-bit value: a map must stay below 2 GiB.
    if (static_cast<uint64_t>(m) + kOverhead > static_cast<uint64_t>(INT32_MAX)) return nullptr;
    plugin_intn::Owned<plugin_swid_map> map(
        static_cast<plugin_swid_map *>(std::malloc(m + kOverhead)));
    if (!map) return nullptr;
    plugin_intn::store32(map.get(), kMagicOffset, kMagic);
    plugin_intn::store32(map.get(), kSizeOffset, m + kOverhead);
    if (plugin_strings_init(block(map.get()), max_strings, m) < 0) return nullptr;
    // The block must report the size it was given, or the trailer would not
    // be the map's last word.
    int32_t max_size = plugin_strings_max_size(block(map.get()));
    if (max_size < 0 || static_cast<uint32_t>(max_size) != m) return nullptr;
    plugin_intn::store32(map.get(), kBlockOffset + static_cast<uint32_t>(max_size), kTrailer);
    return map.release();
}

PI_EXPORT void plugin_swid_map_free(plugin_swid_map *map) { std::free(map); }

PI_EXPORT int32_t plugin_swid_map_integrity_ok(const plugin_swid_map *map) {
    if (!map) return 0;
    if (plugin_intn::load32(map, kMagicOffset) != kMagic) return 0;
    int32_t m = plugin_strings_max_size(block(map));
    if (m < 0) return 0;
    return plugin_intn::load32(map, kBlockOffset + static_cast<uint32_t>(m)) == kTrailer ? 1 : 0;
}

PI_EXPORT int32_t plugin_swid_map_size(const plugin_swid_map *map) {
    if (!map) return -1;
    return static_cast<int32_t>(plugin_intn::load32(map, kSizeOffset));
}

PI_EXPORT int32_t plugin_swid_map_next_avail(const plugin_swid_map *map) {
    if (!map) return -1;
    return static_cast<int32_t>(plugin_strings_num_strings_get(block(map)));
}

PI_EXPORT int32_t plugin_swid_map_get_id(const plugin_swid_map *map, const char *swid) {
    if (!map || !swid) return -1;
    return plugin_strings_find(block(map), swid);
}

PI_EXPORT const char *plugin_swid_map_get_swid(const plugin_swid_map *map, int32_t id) {
    if (!map) return nullptr;
    return plugin_strings_get(block(map), static_cast<uint32_t>(id));
}

PI_EXPORT int32_t plugin_swid_map_append(plugin_swid_map **mapp, const char *swid) {
    if (!mapp || !*mapp || !swid) return -1;
    plugin_swid_map *map = *mapp;
    const plugin_strings *old_block = block(map);

    uint32_t count = plugin_strings_num_strings_get(old_block);
    int32_t used = plugin_strings_space_used(old_block);
    int32_t max_size = plugin_strings_max_size(old_block);
    if (used < 0 || max_size < 0) return -1;
    // Computed wide: a swid of 2 GiB must not wrap the test into a fit.
    int64_t needed = static_cast<int64_t>(used) + static_cast<int64_t>(std::strlen(swid)) + 1;

    plugin_swid_map *target = map;
    plugin_intn::Owned<plugin_swid_map> grown;
    bool fits = needed < max_size && count < plugin_strings_max_strings_get(old_block);
    if (!fits) {
        // Twice the swids held and twice the bytes needed; a map that holds
        // no swid gets room for kEmptyGrowthStrings.
        uint64_t strings = count ? 2ull * count : kEmptyGrowthStrings;
        uint64_t bytes = 2ull * static_cast<uint64_t>(needed);
        if (strings > UINT32_MAX || bytes > UINT32_MAX) return -1;
        grown.reset(
            plugin_swid_map_alloc(static_cast<uint32_t>(strings), static_cast<uint32_t>(bytes)));
        if (!grown) return -1;
        if (plugin_strings_copy(block(grown.get()), old_block) < 0) return -1;
        target = grown.get();
    }

    if (plugin_strings_append(block(target), swid) < 0) return -1;
    if (grown) {
        plugin_intn::Owned<plugin_swid_map> old(map);  // replaced only on success
        *mapp = grown.release();
    }
    return plugin_swid_map_next_avail(*mapp) - 1;
}

}  // extern "C"

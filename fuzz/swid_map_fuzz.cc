// plugin_read_swid_map on arbitrary file bytes, against the intactness rule (the magic word, and
// the trailer word at 8 + the block's size).  A map that reads writes out its size word's bytes,
// which read back the same when they hold the trailer, else as PLUGIN_ERR_CORRUPT.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/plugin_strings.h"
#include "plugin_intn.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::enter_sandbox(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *path = "/tmp/fuzz.swid_map", *copy = "/tmp/fuzz.swid_map.copy";
    fuzz::write_file(path, data, size);
    // The words the rule looks at, from a zero-padded copy of the bytes.
    std::string bytes(reinterpret_cast<const char *>(data), size);
    bytes.resize(size + 32, '\0');
    uint32_t magic, trailer = 0;
    std::memcpy(&magic, bytes.data(), 4);
    int32_t m = plugin_strings_max_size(reinterpret_cast<const plugin_strings *>(bytes.data() + 8));
    if (m >= 0 && 8 + static_cast<uint64_t>(m) + 4 <= size)
        std::memcpy(&trailer, bytes.data() + 8 + m, 4);
    bool intact = size >= 28 && magic == 0x504C5547 && trailer == 0x53574944;

    int before = fuzz::lowest_free_descriptor();
    auto *const untouched = reinterpret_cast<plugin_swid_map *>(0x1);
    plugin_swid_map *map = untouched;
    plugin_rc_t rc = plugin_read_swid_map(path, &map);
    FZ_CHECK(fuzz::lowest_free_descriptor() == before);
    FZ_CHECK(size > 0 || (rc == PLUGIN_ERR_EMPTY_FILE && map == untouched));
    FZ_CHECK(size == 0 || intact || (rc == PLUGIN_ERR_CORRUPT && map == nullptr));
    if (rc != 0) {
        FZ_CHECK(rc == PLUGIN_ERR_EMPTY_FILE || rc == PLUGIN_ERR_CORRUPT ||
                 rc == PLUGIN_ERR_NOMEM || rc == PLUGIN_ERR_READ);
        FZ_CHECK(map == nullptr || (rc == PLUGIN_ERR_EMPTY_FILE && map == untouched));
        return 0;
    }
    int32_t words = plugin_swid_map_size(map), count = plugin_swid_map_next_avail(map);
    FZ_CHECK(map != nullptr && std::memcmp(map, data, size) == 0 &&
             plugin_swid_map_integrity_ok(map) == 1);
    FZ_CHECK(words >= 0 && static_cast<std::size_t>(words) <= size && count >= 0);
    for (int32_t id = 0; id < count; ++id) {
        const char *swid = plugin_swid_map_get_swid(map, id);
        FZ_CHECK(swid != nullptr && plugin_swid_map_get_id(map, swid) >= 0 &&
                 plugin_swid_map_get_id(map, swid) <= id);
    }
    ::unlink(copy);
    plugin_swid_map *again = nullptr;
    FZ_CHECK(plugin_write_swid_map(copy, map) == 0);
    if (words == 0) return plugin_swid_map_free(map), 0;  // an empty file: nothing to read back
    rc = plugin_read_swid_map(copy, &again);
    FZ_CHECK(static_cast<uint64_t>(words) >= 8 + static_cast<uint64_t>(m) + 4
                 ? rc == 0
                 : rc == PLUGIN_ERR_CORRUPT);
    FZ_CHECK(rc != 0 || (plugin_swid_map_size(again) == words &&
                         std::memcmp(again, map, static_cast<std::size_t>(words)) == 0));
    FZ_CHECK(fuzz::lowest_free_descriptor() == before);
    plugin_swid_map_free(again);
    plugin_swid_map_free(map);
    return 0;
}

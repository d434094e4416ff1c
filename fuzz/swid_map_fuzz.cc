// plugin_read_swid_map on arbitrary file bytes.  A map that reads must be
// intact, its ids must map to swids and back, and writing it out and reading
// it again must give the same map; every descriptor is closed again.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "plugin_intn.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fz::enter_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *path = "/tmp/fuzz.swid_map";
    const char *copy = "/tmp/fuzz.swid_map.copy";
    fz::write_file(path, data, size);
    int before = fz::lowest_free_descriptor();
    plugin_swid_map *map = reinterpret_cast<plugin_swid_map *>(0x1);
    plugin_rc_t rc = plugin_read_swid_map(path, &map);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    if (rc != 0) {
        FZ_CHECK(rc == PLUGIN_ERR_EMPTY_FILE || rc == PLUGIN_ERR_CORRUPT || rc == PLUGIN_ERR_NOMEM ||
                 rc == PLUGIN_ERR_READ);
        FZ_CHECK(map == nullptr || (rc == PLUGIN_ERR_EMPTY_FILE && map == reinterpret_cast<plugin_swid_map *>(0x1)));
        return 0;
    }
    FZ_CHECK(map != nullptr);
    FZ_CHECK(plugin_swid_map_integrity_ok(map) == 1);
    int32_t words = plugin_swid_map_size(map);
    FZ_CHECK(words >= 12 && static_cast<std::size_t>(words) <= size);
    int32_t count = plugin_swid_map_next_avail(map);
    FZ_CHECK(count >= 0);
    for (int32_t id = 0; id < count; ++id) {
        const char *swid = plugin_swid_map_get_swid(map, id);
        FZ_CHECK(swid != nullptr);
        int32_t back = plugin_swid_map_get_id(map, swid);
        FZ_CHECK(back >= 0 && back <= id);
    }
    FZ_CHECK(plugin_swid_map_get_swid(map, count) == nullptr);
    FZ_CHECK(plugin_swid_map_get_swid(map, -1) == nullptr);

    ::unlink(copy);
    FZ_CHECK(plugin_write_swid_map(copy, map) == 0);
    plugin_swid_map *again = nullptr;
    FZ_CHECK(plugin_read_swid_map(copy, &again) == 0);
    FZ_CHECK(plugin_swid_map_size(again) == words);
    FZ_CHECK(std::memcmp(again, map, static_cast<std::size_t>(words)) == 0);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    plugin_swid_map_free(again);
    plugin_swid_map_free(map);
    return 0;
}

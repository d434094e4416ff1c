/* A tiny program built against an installed libplugin_intn: it uses the
 * header's result codes and a few operations that touch no file. */
#include <stdio.h>

#include <plugin_intn.h>

int main(void) {
    plugin_swid_map *map = plugin_swid_map_alloc(2, 32);
    if (map == NULL) return 1;
    int32_t a = plugin_swid_map_append(&map, "pkg-a");
    int32_t b = plugin_swid_map_append(&map, "pkg-b");
    int32_t c = plugin_swid_map_append(&map, "pkg-c"); /* grows the map */
    printf("ids %d %d %d, pkg-b is %d, intact %d\n", a, b, c, plugin_swid_map_get_id(map, "pkg-b"),
           plugin_swid_map_integrity_ok(map));
    plugin_swid_map_free(map);
    plugin_intn_debug_on();
    printf("debug %d, duplicate 0x%08x\n", libplugin_intn_debug, (unsigned)PLUGIN_ERR_DUPLICATE);
    return 0;
}

// The operations the reliability tests drive, referenced weakly: a test binary
// links while a subsystem is still missing from the library and reports the
// operations it could not reach (op_present), instead of failing to link.
#ifndef PI_TESTS_RELIABILITY_WEAK_OPS_H
#define PI_TESTS_RELIABILITY_WEAK_OPS_H

#include "plugin_intn.h"

#pragma weak plugin_swid_map_alloc
#pragma weak plugin_swid_map_append
#pragma weak plugin_swid_map_free
#pragma weak plugin_swid_map_next_avail
#pragma weak plugin_swid_map_get_swid
#pragma weak plugin_read_swid_map
#pragma weak plugin_write_swid_map
#pragma weak plugin_find_load_order
#pragma weak plugin_find_unload_order
#pragma weak plugin_rmdir
#pragma weak plugin_mkdir
#pragma weak plugin_extract_image
#pragma weak plugin_do_newer_fs
#pragma weak plugin_extract_plugin_from_velm_image
#pragma weak plugin_clone_srg
#pragma weak plugin_extract_srg
#pragma weak plugin_save_sro
#pragma weak plugin_cleanup_sro
#pragma weak plugin_link_to_exec_path
#pragma weak plugin_unlink_from_exec_path
#pragma weak plugin_get_cmdline
#pragma weak plugin_from_cmdline
#pragma weak plugin_get_names_from_conf
#pragma weak plugin_read_remaining_load
#pragma weak plugin_write_remaining_load

template <typename F>
bool op_present(F *fn) {
    return reinterpret_cast<void *>(fn) != nullptr;
}

#endif

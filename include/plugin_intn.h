/*
 * plugin_intn.h - public interface of libplugin_intn.so
 *
 * Internal plugin machinery of the system: image extraction, exec-path
 * linking, software records, the software-id map, load order and the
 * boot-time choices.  Plain C ABI; usable from C and C++.
 *
 * Conventions
 *  - Operations that can fail return a result code (plugin_rc_t): 0 for
 *    success, PLUGIN_ERR_NOMEM (1), or a code with 0x40EA in its upper
 *    16 bits.  A few operations pass on a non-zero code of a platform
 *    component unchanged; each says so below.
 *  - Whatever is handed out through an out-parameter belongs to the caller
 *    and is released with free(), except the name set of
 *    plugin_get_names_from_conf (plugin_strings_free) and the software-id
 *    map (plugin_swid_map_free or free).
 *  - Diagnostics go to stderr; lines marked as debug output only while
 *    libplugin_intn_debug is non-zero.
 *  - Paths are handed to the shell without quoting: pass trusted paths only.
 *
 * Trust
 *  The library trusts its input: image contents (tar runs with -P and -p:
 *  absolute names, "..", links, modes, owners and special files are taken as
 *  stored), software ids, newer-fs names and every path it hands to the shell
 *  unquoted, unlink's plain-text prefix rule (plugin path /velm/plugin/1 also
 *  claims /velm/plugin/10/...), and link's directories made 07777.  It hardens
 *  only where left open: no record is written through a symbolic link.  The
 *  installer (tools/installer) checks the rest before the library sees it:
 *  its image check (check.h) refuses what could reach outside the plugin or
 *  the shell and holds software ids and newer-fs names to safe characters;
 *  it passes plugin paths with a trailing '/', excludes the library's own
 *  places from every link and unlinks only what its links created.  A device
 *  gives the service a private /tmp, sets fs.protected_symlinks=1 and treats
 *  write access to /bootflash as root (README.md, "Security").
 *
 * Each function's comment has one shape: what it does, "Returns:" and, where
 * this library settles what is otherwise left open, "Settled:".
 */
#ifndef PLUGIN_INTN_H
#define PLUGIN_INTN_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ---- */

typedef uint32_t plugin_rc_t;

#define PLUGIN_OK 0x00000000u              /* the operation did what was asked */
#define PLUGIN_ERR_NOMEM 0x00000001u       /* a memory allocation failed */
#define PLUGIN_ERR_FAILED 0x40EA0001u      /* a failure without a code of its own */
#define PLUGIN_ERR_INVALID_ARG 0x40EA0002u /* a required pointer is null or a size is wrong */
#define PLUGIN_ERR_DEP_CYCLE 0x40EA0009u   /* no load order exists */
#define PLUGIN_ERR_IMG_OPEN 0x40EA0013u    /* the image library could not open the image */
#define PLUGIN_ERR_EXTRACT 0x40EA0015u     /* the extraction command could not be run */
#define PLUGIN_ERR_SRG_EMPTY 0x40EA0016u   /* the software record file has size 0 */
#define PLUGIN_ERR_OPEN 0x40EA0017u        /* a file could not be opened */
#define PLUGIN_ERR_READ 0x40EA0018u        /* fewer bytes were read than required */
#define PLUGIN_ERR_SEEK 0x40EA001Bu        /* rewinding a file failed */
#define PLUGIN_ERR_STAT 0x40EA001Cu        /* the status of a file could not be obtained */
#define PLUGIN_ERR_DUPLICATE 0x40EA001Du   /* a file to be linked already exists */
#define PLUGIN_ERR_MKDIR 0x40EA001Eu       /* a directory of the exec tree could not be made */
#define PLUGIN_ERR_LINK 0x40EA001Fu        /* a symbolic link could not be made or read */
#define PLUGIN_ERR_NOENT 0x40EA0020u       /* the file does not exist */
#define PLUGIN_ERR_EMPTY_FILE 0x40EA0021u  /* the file exists and is empty */
#define PLUGIN_ERR_CORRUPT 0x40EA0022u     /* the map failed its integrity check */
#define PLUGIN_ERR_WRITE 0x40EA0024u       /* fewer bytes were written than required */

/* ---- Handles of platform components (defined by the platform libraries) ---- */

typedef struct plugin_strings plugin_strings;   /* a counted set of strings in one block */
typedef struct srg_record srg_record;           /* a software record, also its stored form */
typedef struct plugin_swid_map plugin_swid_map; /* one heap block, also its file image */

/* ---- Library frame ---- */

/* Debug switch: non-zero enables debug lines; 0 at load. */
extern int32_t libplugin_intn_debug;

/* Storage that other code of the process uses; zero at load, never touched here. */
extern void *plugin_thread_q;
extern uint32_t plugin_sdwrap_syslog_key;
extern void *plugin_sdwrap_syslog_key_datum;
extern uint32_t plugin_sdwrap_debug_key;
extern void *plugin_sdwrap_debug_key_datum;

/* Sets the debug switch to 1.  Returns: nothing. */
void plugin_intn_debug_on(void);
/* Sets the debug switch to 0.  Returns: nothing. */
void plugin_intn_debug_off(void);

/* Runs a shell command with a child-reaping SIGCHLD handler in place.
 * Returns: system()'s wait status; -1 for a null command or when SIGCHLD
 * cannot be handled.
 * Settled: a null command shows as "(null)" in the debug line; the reaping
 * handler never blocks (waitpid with WNOHANG). */
int32_t plugin_syscall(const char *command);

/* Creates a directory with exactly the given mode (umask 0 around mkdir).
 * Returns: 0 or PLUGIN_ERR_FAILED.
 * Settled: a null path is PLUGIN_ERR_FAILED, as a refused mkdir, with the
 * umask restored as on every path. */
plugin_rc_t plugin_mkdir(const char *path, mode_t mode);

/* Removes a file or tree with "rm -fr <path>" (path unquoted).
 * Returns: 0, PLUGIN_ERR_NOMEM or PLUGIN_ERR_FAILED.
 * Settled: a null path gives PLUGIN_ERR_INVALID_ARG and runs nothing. */
plugin_rc_t plugin_rmdir(const char *path);

/* Writes "No Patching support on this platform\n" to stdout.  Returns: 0.
 * The four after it are weak aliases of it, which a loaded library may replace. */
int __plugin_no_patching_support(void);
int plugin_patch_setup_repos(void);
int plugin_load_committed_patch(void);
int plugin_sync_patches_on_standby(void);
int plugin_patching_supported(void);

/* ---- Software-id map ---- */

/* Layout, in the machine's byte order, the same in memory and in the file:
 * magic word 0x504C5547 at offset 0, size word M + 12 at offset 4, a
 * plugin_strings block of M bytes at offset 8 and the trailer word 0x53574944
 * at offset 8 + M, M being plugin_strings_max_size() of the block.  Plugin
 * ids are string-set indices: 0 for the first swid appended, never reused. */

/* Makes a new empty map for the given string and byte capacities.
 * Returns: the map, or null.
 * Settled: null also when M + 12 exceeds INT32_MAX (the signed size word)
 * or when the block does not report the size M it was given. */
plugin_swid_map *plugin_swid_map_alloc(uint32_t max_strings, uint32_t max_bytes);
/* Releases a map (as free() does); null is ignored.  Returns: nothing. */
void plugin_swid_map_free(plugin_swid_map *map);
/* Checks the magic word and the trailer word at 8 + plugin_strings_max_size
 * (block); the size word takes no part.  It trusts the block's reported size:
 * call it only on maps whose buffer holds that many bytes.
 * Returns: 1 when intact, else 0 (0 for null). */
int32_t plugin_swid_map_integrity_ok(const plugin_swid_map *map);
/* Returns: the map's size word in bytes; -1 for null. */
int32_t plugin_swid_map_size(const plugin_swid_map *map);
/* Appends a swid.  It fits when space_used + strlen + 1 < max_size and the
 * count is below the string capacity; otherwise the map grows to string
 * capacity 2 x count and byte capacity 2 x (space_used + strlen + 1), keeping
 * every id, and *map is replaced by the grown map (the old one freed, only on
 * success).  A held swid appended again gets a second id.
 * Returns: the swid's new id, or -1 with *map and the map unchanged.
 * Settled: a map that holds no swid grows to a string capacity of 4; a null
 * map address, null *map, null swid or a growth beyond 32-bit capacities
 * gives -1. */
int32_t plugin_swid_map_append(plugin_swid_map **map, const char *swid);
/* Returns: the number of swids held (the next id).  Settled: -1 for null. */
int32_t plugin_swid_map_next_avail(const plugin_swid_map *map);
/* Returns: the id of a held swid (the lowest when held twice), negative when
 * not held, -1 for a null map.  Settled: -1 for a null swid. */
int32_t plugin_swid_map_get_id(const plugin_swid_map *map, const char *swid);
/* Returns: the swid of an id, pointing into the map (valid until the map is
 * freed or replaced by a growing append); null when none or for a null map. */
const char *plugin_swid_map_get_swid(const plugin_swid_map *map, int32_t id);
/* Reads a map file, under a shared flock, into a new buffer owned by the
 * caller; the buffer holds the whole file, which may be longer than the size
 * word (a shorter map written over a longer file).  Writes nothing.
 * Returns: 0; PLUGIN_ERR_INVALID_ARG, PLUGIN_ERR_NOENT, PLUGIN_ERR_STAT,
 * PLUGIN_ERR_EMPTY_FILE with *map untouched; PLUGIN_ERR_NOMEM, _OPEN, _READ,
 * _CORRUPT with *map null.
 * Settled: the size is taken again (fstat) under the lock, so a writer that
 * grew the file before it never gives a torn map (empty then:
 * PLUGIN_ERR_EMPTY_FILE, a failed fstat: PLUGIN_ERR_STAT, *map null).
 * The bytes are untrusted: PLUGIN_ERR_CORRUPT, nothing read or written
 * outside the buffer, unless the file holds the three words and the smallest
 * string-set header, the block's max_size (trailer included) and the size
 * word lie within the bytes read, the map is intact, and the block's count,
 * space used and strings lie within the block.  The size word's value is
 * otherwise free.  A file longer than INT32_MAX bytes is PLUGIN_ERR_CORRUPT. */
plugin_rc_t plugin_read_swid_map(const char *path, plugin_swid_map **map);
/* Writes the map's size-word bytes at the start of the file under an
 * exclusive flock: mode "w" (created) when the path cannot be queried, else
 * "r+" (a longer file keeps its length and tail).  The map is never changed.
 * Returns: 0; PLUGIN_ERR_INVALID_ARG; PLUGIN_ERR_CORRUPT ("%s: corrupted
 * swid_map_", nothing opened); PLUGIN_ERR_OPEN ("%s: open %s for write
 * failed"); PLUGIN_ERR_WRITE ("%s: corrupted swid_map_"; the file may be
 * partly rewritten).
 * Settled: an intact map is written whatever its size word says, as many
 * bytes as it gives (a map read by plugin_read_swid_map always has them); a
 * size word with the sign bit set is PLUGIN_ERR_CORRUPT; a failed fflush
 * (before the unlock) or fclose after a complete fwrite is PLUGIN_ERR_WRITE
 * with the same line, so a full device never reports success. */
plugin_rc_t plugin_write_swid_map(const char *path, const plugin_swid_map *map);

/* ---- Load and unload order ---- */

/* Topological order of a matrix of count rows of count words (matrix[i][j]
 * != 0: plugin i depends on plugin j): each position takes the lowest-index
 * plugin not yet placed whose dependencies are all placed.  Arguments are not
 * tested; a count of 0 writes nothing.
 * Returns: 0; PLUGIN_ERR_NOMEM; PLUGIN_ERR_DEP_CYCLE when no plugin left is
 * free of dependencies on plugins left (a cycle, or a self-mark): positions
 * before the failure hold the plugins placed, the rest is untouched.
 * Settled: costs count^2 (a per-plugin count of dependencies on plugins not
 * yet placed). */
plugin_rc_t plugin_topological_order_get(uint16_t count, uint32_t **matrix, uint32_t *order);
/* Load order of count (at most 65535) records: order[k] is the index of the
 * k-th plugin to load.  Plugin i depends on every other plugin whose software
 * id its dependency list names (its own id and ids outside the set are
 * ignored).  Writes, always: srg_dump of every record, "%d %s: no dependency
 * list" or "%d %s depends on: " with the matched ids each followed by a blank,
 * "failed get dependency list for %s"; debug lines "plugin_find_load_order():
 * num_img=%d", "...(): srg_dump for img=%s", "topological order: " and every
 * entry.
 * Returns: 0; PLUGIN_ERR_FAILED (count 0, null array, row table allocation,
 * dependency list query failed); PLUGIN_ERR_NOMEM (a row, or the arrays of
 * ids, sorted indices and matches; nothing written but the first debug line);
 * both with order untouched; or the sort's result.
 * Settled: a record without a software id shows as "(null)", matching no
 * dependency.  Dependencies are matched through an index of the ids sorted
 * once per call: the same matches, marks, lines and order, only faster. */
plugin_rc_t plugin_find_load_order(uint32_t count, srg_record **records, uint32_t *order);
/* Unload order: the load order reversed in place, then the debug line
 * "unload order: " with every entry.
 * Returns: 0, or the load order's failure unchanged (order as it left it). */
plugin_rc_t plugin_find_unload_order(uint32_t count, srg_record **records, uint32_t *order);

/* ---- Image extraction ---- */

/* Unpacks a plugin image into dir with "dd if=<image> skip=1 bs=<block size>
 * 2>/dev/null | tar -x[v]kPpmz -C <dir>[ > <tar_log>]": the header block is
 * skipped, existing files are kept, the manifest (tar_log, may be null) is
 * replaced by tar's listing.  Then runs plugin_do_newer_fs(image, tar_log,
 * dir); no overlay after a failure.
 * Returns: 0 once the command ran, whatever its exit status;
 * PLUGIN_ERR_IMG_OPEN (nothing printed); PLUGIN_ERR_NOMEM (command buffer of
 * strlen(image) + 201 bytes); PLUGIN_ERR_EXTRACT (command not run).
 * Settled: a command that does not fit its buffer (dir and tar_log together
 * longer than about 140 characters) is never run cut: "plugin_extract_image:
 * command for <image> does not fit, not run" and PLUGIN_ERR_EXTRACT.  A null
 * image gives PLUGIN_ERR_IMG_OPEN, a null dir PLUGIN_ERR_EXTRACT, neither
 * opening nor printing anything. */
plugin_rc_t plugin_extract_image(const char *image, const char *dir, const char *tar_log);
/* Lays /bootflash/<base name>-newer-fs over dir when the kernel command line
 * value of "use_newer_fs" begins with "yes" or is a prefix of the image's base
 * name (after its last '/'; an empty value selects every image).  Lists the
 * newer-fs directory into "<tar_log>-newer-fs", appends to tar_log every entry
 * not already below dir, removes the list, then writes Executing "<copy>" and
 * runs "cp -af <newer-fs>/<all> <dir>" (all: the shell's star).  Lines go to
 * stderr.  Note the argument order: tar_log before dir.
 * Returns: nothing.
 * Settled: without a manifest (null tar_log) no list is made and nothing is
 * added or removed, but the copy runs.  A path (newer-fs directory, list,
 * candidate) over 256 bytes or a command over 512 is never used cut: the step
 * is skipped with "plugin_do_newer_fs: ... does not fit ...".  A newer-fs
 * directory that does not fit skips the overlay; a list path, the list,
 * additions and removal but not the copy; a candidate or addition, that
 * entry; a list command, the additions.  A null image or dir does nothing. */
void plugin_do_newer_fs(const char *image, const char *tar_log, const char *dir);
/* Extracts one member of the running system image
 * /var/sysmgr/ftp/img-sync/curr-velm.img onto "/" (member begins with '/'; a
 * directory comes with everything below it), appending tar's listing to
 * tar_log (may be null).  Writes its "img_path", "About to run command" and
 * "successful" lines to stderr and stdout; no overlay.
 * Returns: 0, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_NOMEM (command buffer of
 * strlen(member) + 201 bytes), PLUGIN_ERR_EXTRACT (command not run).
 * Settled: a command that does not fit is not run:
 * "plugin_extract_plugin_from_velm_image: command for <member> does not fit,
 * not run" and PLUGIN_ERR_EXTRACT.  A null member gives PLUGIN_ERR_EXTRACT
 * before anything is printed or opened. */
plugin_rc_t plugin_extract_plugin_from_velm_image(const char *member, const char *tar_log);

/* ---- Software record files ---- */

/* Reads a record file into a new record owned by the caller (free()).
 * Returns: 0; PLUGIN_ERR_INVALID_ARG or PLUGIN_ERR_SRG_EMPTY (*record
 * untouched); PLUGIN_ERR_NOMEM or srg_file_clone's non-zero value unchanged
 * (*record null). */
plugin_rc_t plugin_clone_srg(const char *path, srg_record **record);
/* Reads the software record (vendor information) out of a plugin image
 * through the temporary file /tmp/plugin_imgsrg.sro, removed once read.
 * Returns: 0; PLUGIN_ERR_INVALID_ARG; PLUGIN_ERR_IMG_OPEN;
 * img_extract_vendor_info's non-zero value unchanged (*record untouched); or
 * any result of plugin_clone_srg. */
plugin_rc_t plugin_extract_srg(const char *image, srg_record **record);
/* Stores a record as /velm/plugin/<id>/plugin.sro (exactly srg_size bytes;
 * the plugin directory must exist) and links /velm/plugin_srg/plugin-<swid>.sro
 * to it unless that path already leads to an existing file.  Trace lines
 * "plugin_save_sro id ...", "sro path ...", "extract path ...", "sro_link ..."
 * go to stderr.  A failed store leaves what it had written.
 * Returns: 0; PLUGIN_ERR_FAILED (no software id); PLUGIN_ERR_OPEN;
 * PLUGIN_ERR_WRITE; PLUGIN_ERR_LINK (a dangling link included).
 * Settled: the record file gets mode 0666 less the umask.  A record without
 * software id, or a null record, shows as "swid !(null)!" and gives
 * "plugin_save_sro: get swid failed for plugin_id <id>" and PLUGIN_ERR_FAILED.
 * A link path over 256 bytes (a long software id) is never cut into another
 * file's name: the trace lines still come, "sro_link" showing its first 255
 * bytes, then, before any file is written, "plugin_save_sro: link path for
 * swid <swid> does not fit, record not stored" and PLUGIN_ERR_LINK.  A
 * symbolic link at the record file's place is never written through: it
 * fails as an open failure does ("open fail", "plugin_save_sro: open <path>
 * failed", PLUGIN_ERR_OPEN), link and target untouched, while a regular file
 * there is still cut and rewritten. */
plugin_rc_t plugin_save_sro(int32_t plugin_id, const srg_record *record);
/* Removes the software-id link named by the record in
 * /velm/plugin/<id>/plugin.sro (outcome ignored), then the record file, both
 * with plugin_rmdir.  No record file: no link removed.
 * Returns: the second removal's result: 0, PLUGIN_ERR_FAILED or _NOMEM.
 * Settled: a link path over 256 bytes is not removed ("plugin_cleanup_sro:
 * link path for swid <swid> does not fit, link not removed"); the record
 * file is removed all the same. */
plugin_rc_t plugin_cleanup_sro(int32_t plugin_id);

/* ---- Exec-path linking ---- */

/* Links every manifest entry of an extracted plugin into the root tree: a
 * directory /E for a directory E of the plugin, otherwise a symbolic link /E
 * to plugin_path/E (for a symbolic link of the plugin: to where its contents
 * lead, relative contents joined to its directory).  Looks up "pdebug" first
 * (duplicates then set no result code), runs with umask 0 restored on every
 * return, sets the debug switch to 0 and leaves it so.  Pass 1 reports every
 * name already taken, pass 2 links, then the patch hook
 * plugin_load_committed_patch runs (by its exported name).  A failure after
 * links were made is undone with plugin_unlink_from_exec_path.  The exclusion
 * set may be null.  Link names and source paths are cut to 255 characters.
 * Returns: 0, PLUGIN_ERR_NOMEM, PLUGIN_ERR_INVALID_ARG (null tar_log or
 * plugin_path, no message), PLUGIN_ERR_OPEN, PLUGIN_ERR_SEEK,
 * PLUGIN_ERR_STAT, PLUGIN_ERR_DUPLICATE, PLUGIN_ERR_MKDIR or PLUGIN_ERR_LINK.
 * Settled: a link target from relative contents over 255 characters fails
 * the entry with PLUGIN_ERR_LINK and "plugin_link_to_exec_path: link target
 * for <source path> longer than 255 characters" (always written); nothing is
 * cut or written past a buffer. */
plugin_rc_t plugin_link_to_exec_path(const char *tar_log, const plugin_strings *exclude,
                                     const char *plugin_path);
/* Takes a plugin's links and emptied directories out of the root tree: pass
 * 1 removes the symbolic links at the manifest's link names whose contents
 * are longer than plugin_path and begin with it (a plain text prefix); pass 2
 * removes each listed directory empty at its turn (once, in manifest order).
 * Problems of the tree are reported or ignored; umask and debug switch are
 * not touched.  The exclusion set may be null.
 * Returns: 0, PLUGIN_ERR_NOMEM or PLUGIN_ERR_OPEN.
 * Settled: a null tar_log or plugin_path gives PLUGIN_ERR_INVALID_ARG,
 * without a message and before anything is allocated or read. */
plugin_rc_t plugin_unlink_from_exec_path(const char *tar_log, const plugin_strings *exclude,
                                         const char *plugin_path);
/* Tests a link name against the exclusion set.  A string excludes the path
 * when its first occurrence starts at the path's first character, or begins
 * with '/' and has only '/' between the path's second character and it:
 * "/etc/x" excludes /etc/x, //etc/x and /etc/xyz, not /a/etc/x; the empty
 * string excludes every path.  Writes "plugin_file_is_excluded_from_exec_path:
 * <path> is excluded from linking" on every exclusion.
 * Returns: 1 when excluded, else 0 (also for a null path or set). */
int plugin_file_is_excluded_from_exec_path(const char *path, const plugin_strings *exclude);

/* ---- Boot selection and state ---- */

/* Looks a key up in the kernel command line: reads at most 511 bytes of
 * /proc/cmdline into a static 512-byte buffer (one open/read/close, no
 * allocation), finds the key as a substring anywhere, takes the text after
 * the first "=" from the match onward and cuts it in place.  Writes
 * "Expected cmdline", "File read" and "Read" lines on every call.
 * Returns: the value, in static storage valid until the next call; null for a
 * null key, an unreadable or empty /proc/cmdline, or an absent key.
 * Settled: no "=" after the match returns null (no further line).  A value
 * ends at the first blank after its first character (one that begins with a
 * blank is empty); a line feed inside the text is part of the value, and a
 * value that runs to the end comes without the kernel's final line feed.
 * Not thread-safe: each call overwrites the buffer. */
char *plugin_get_cmdline(const char *key);
/* Parses a plugin list ("3,4+5") and hands out all entries (selector != 0) or
 * the boot-together group (selector 0) in a new array (the caller's, free());
 * entries past the count are 0.  *plugins is set to null first and stays
 * null, with nothing left allocated, on every failure (empty list, allocation
 * failure, a "+" after the "+" group was closed, a character other than
 * digits, "+" and ",").
 * Returns: the count handed out; 0 on failure.
 * Settled: arrays hold L = strlen(list) entries, or L + 1 when the list holds
 * no digit ("," gives 0, 0 with count 2), so a count never exceeds the array;
 * "malloc %d bytes failed" shows one array's byte size.  Entries wrap modulo
 * 2^32.  A null list behaves as the empty list; a null plugins pointer
 * returns 0 and writes nothing. */
int32_t plugin_from_cmdline(const char *list, int32_t **plugins, int32_t selector);
/* Gathers the plugin names of an image configuration file into a new set
 * (released with plugin_strings_free()): the configuration's names in order,
 * then "fc_plugin" and "virt_plugin" when /mnt/pss/load-fcplugin and
 * /mnt/pss/load-virtplugin exist and path contains "img.conf".  The set is
 * sized exactly (the names; their lengths plus terminators).  The
 * configuration handle is closed on every path; silent on success unless
 * debug is on.
 * Returns: 0; a non-zero code of plugin_icf_* unchanged; PLUGIN_ERR_NOMEM (the
 * set) or PLUGIN_ERR_FAILED (a name not appended); *names null on failure.
 * Settled: a null path or names pointer gives PLUGIN_ERR_INVALID_ARG without
 * a message (*names set to null when names is not null). */
plugin_rc_t plugin_get_names_from_conf(const char *path, plugin_strings **names);
/* Reads the boot-stage record from /velm/plugin_extract_log/stage_boot; size
 * must be (get_max_allowed_zell() + 2) * 4, asked once per call.  Without the
 * file, word 0 becomes 0x424F4F54 ("BOOT"), the rest is untouched and no file
 * is made.
 * Returns: 0; PLUGIN_ERR_INVALID_ARG (null record or wrong size, a line);
 * PLUGIN_ERR_OPEN (the file exists but does not open, no line); PLUGIN_ERR_READ
 * (still short after 5 tries one second apart, a line).
 * Settled: the size-mismatch line shows the address's low 32 bits ("%x");
 * a required size below 4 (a limit below -1) never matches. */
plugin_rc_t plugin_read_remaining_load(uint32_t *record, int32_t size);
/* Writes the boot-stage record; size as for the read.  Creates the file (mode
 * "w") when it does not exist, else overwrites its first size bytes in place
 * (mode "r+", a longer file keeps its tail).  Only the size mismatch writes a
 * line.
 * Returns: 0; PLUGIN_ERR_INVALID_ARG (as for the read); PLUGIN_ERR_OPEN (e.g.
 * no /velm/plugin_extract_log); PLUGIN_ERR_WRITE (short write).
 * Settled: unbuffered, so a write the device refuses is PLUGIN_ERR_WRITE. */
plugin_rc_t plugin_write_remaining_load(const uint32_t *record, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* PLUGIN_INTN_H */

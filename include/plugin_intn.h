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
 * Behaviour settled by this library where the contract leaves room is
 * documented at each declaration ("Settled:").
 */
#ifndef PLUGIN_INTN_H
#define PLUGIN_INTN_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Result codes                                                        */
/* ------------------------------------------------------------------ */

typedef uint32_t plugin_rc_t;

#define PLUGIN_OK               0x00000000u /* the operation did what was asked */
#define PLUGIN_ERR_NOMEM        0x00000001u /* a memory allocation failed */
#define PLUGIN_ERR_FAILED       0x40EA0001u /* a failure without a code of its own */
#define PLUGIN_ERR_INVALID_ARG  0x40EA0002u /* a required pointer is null or a size is wrong */
#define PLUGIN_ERR_DEP_CYCLE    0x40EA0009u /* no load order exists */
#define PLUGIN_ERR_IMG_OPEN     0x40EA0013u /* the image library could not open the image */
#define PLUGIN_ERR_EXTRACT      0x40EA0015u /* the extraction command could not be run */
#define PLUGIN_ERR_SRG_EMPTY    0x40EA0016u /* the software record file has size 0 */
#define PLUGIN_ERR_OPEN         0x40EA0017u /* a file could not be opened */
#define PLUGIN_ERR_READ         0x40EA0018u /* fewer bytes were read than required */
#define PLUGIN_ERR_SEEK         0x40EA001Bu /* rewinding a file failed */
#define PLUGIN_ERR_STAT         0x40EA001Cu /* the status of a file could not be obtained */
#define PLUGIN_ERR_DUPLICATE    0x40EA001Du /* a file to be linked already exists */
#define PLUGIN_ERR_MKDIR        0x40EA001Eu /* a directory of the exec tree could not be made */
#define PLUGIN_ERR_LINK         0x40EA001Fu /* a symbolic link could not be made or read */
#define PLUGIN_ERR_NOENT        0x40EA0020u /* the file does not exist */
#define PLUGIN_ERR_EMPTY_FILE   0x40EA0021u /* the file exists and is empty */
#define PLUGIN_ERR_CORRUPT      0x40EA0022u /* the map failed its integrity check */
#define PLUGIN_ERR_WRITE        0x40EA0024u /* fewer bytes were written than required */

/* ------------------------------------------------------------------ */
/* Handles of platform components (defined by the platform libraries)  */
/* ------------------------------------------------------------------ */

/* A counted, pointer-free set of NUL-terminated strings (libplugin_str). */
typedef struct plugin_strings plugin_strings;
/* A software record: one pointer-free block, also its stored form (libsrg). */
typedef struct srg_record srg_record;
/* The software-id map: one heap block, also its file image. */
typedef struct plugin_swid_map plugin_swid_map;

/* ------------------------------------------------------------------ */
/* Library frame                                                       */
/* ------------------------------------------------------------------ */

/* Debug switch: non-zero enables debug lines; 0 at load. */
extern int32_t libplugin_intn_debug;

/* Storage that other code of the process uses; zero at load, never touched here. */
extern void *plugin_thread_q;
extern uint32_t plugin_sdwrap_syslog_key;
extern void *plugin_sdwrap_syslog_key_datum;
extern uint32_t plugin_sdwrap_debug_key;
extern void *plugin_sdwrap_debug_key_datum;

/* Sets the debug switch to 1. */
void plugin_intn_debug_on(void);
/* Sets the debug switch to 0. */
void plugin_intn_debug_off(void);

/* Runs a shell command with a child-reaping SIGCHLD handler in place; returns
 * system()'s wait status, or -1 for a null command or when SIGCHLD cannot be
 * handled.  Settled: a null command shows as "(null)" in the debug line; the
 * reaping handler never blocks (waitpid with WNOHANG). */
int32_t plugin_syscall(const char *command);

/* Creates a directory with exactly the given mode (umask 0 around mkdir);
 * 0 or PLUGIN_ERR_FAILED.  Settled: a null path is PLUGIN_ERR_FAILED, as a
 * refused mkdir, with the umask restored as on every path. */
plugin_rc_t plugin_mkdir(const char *path, mode_t mode);

/* Removes a file or tree with "rm -fr <path>" (path unquoted); 0,
 * PLUGIN_ERR_NOMEM or PLUGIN_ERR_FAILED.  Settled: a null path returns
 * PLUGIN_ERR_INVALID_ARG and runs nothing. */
plugin_rc_t plugin_rmdir(const char *path);

/* Writes "No Patching support on this platform\n" to stdout; returns 0. */
int __plugin_no_patching_support(void);
/* Weak aliases of __plugin_no_patching_support; a loaded library may replace them. */
int plugin_patch_setup_repos(void);
int plugin_load_committed_patch(void);
int plugin_sync_patches_on_standby(void);
int plugin_patching_supported(void);

/* ------------------------------------------------------------------ */
/* Software-id map                                                     */
/* ------------------------------------------------------------------ */

/* Layout, in the machine's byte order, the same in memory and in the file:
 * magic word 0x504C5547 at offset 0, size word M + 12 at offset 4, a
 * plugin_strings block of M bytes at offset 8 and the trailer word 0x53574944
 * at offset 8 + M, M being plugin_strings_max_size() of the block.  Plugin
 * ids are string-set indices: 0 for the first swid appended, never reused. */

/* A new empty map for the given string and byte capacities, or null.
 * Settled: null also when the map would not fit a signed 32-bit size word
 * (M + 12 above INT32_MAX) or when the block does not report the size M it
 * was given. */
plugin_swid_map *plugin_swid_map_alloc(uint32_t max_strings, uint32_t max_bytes);
/* Releases a map; null is ignored.  free() does the same. */
void plugin_swid_map_free(plugin_swid_map *map);
/* 1 when the first word is the magic word and the word at offset
 * 8 + plugin_strings_max_size(block) is the trailer word, else 0 (0 for null).
 * The size word takes no part.  It trusts the block's reported size: call it
 * only on maps whose buffer holds that many bytes (plugin_read_swid_map
 * checks the bounds before it asks). */
int32_t plugin_swid_map_integrity_ok(const plugin_swid_map *map);
/* The map's size word in bytes; -1 for null. */
int32_t plugin_swid_map_size(const plugin_swid_map *map);
/* Appends a swid and returns its new id, or -1.  The swid fits when
 * space_used + strlen + 1 < max_size and the count is below the string
 * capacity; otherwise the map grows to string capacity 2 x count and byte
 * capacity 2 x (space_used + strlen + 1), keeping every id, and *map is
 * replaced by the grown map (the old one is freed, only on success).  A held
 * swid appended again gets a second id.  On -1 *map and the map are unchanged.
 * Settled: a map that holds no swid grows to a string capacity of 4 (so its
 * append succeeds); a null map address, null *map or null swid gives -1; a
 * growth beyond 32-bit capacities gives -1. */
int32_t plugin_swid_map_append(plugin_swid_map **map, const char *swid);
/* Number of swids held: the id the next append gives.
 * Settled: -1 for a null map. */
int32_t plugin_swid_map_next_avail(const plugin_swid_map *map);
/* Id of a held swid (>= 0; the lowest when held twice), negative when not
 * held, -1 for a null map.  Settled: -1 for a null swid. */
int32_t plugin_swid_map_get_id(const plugin_swid_map *map, const char *swid);
/* The swid of an id, pointing into the map (valid until the map is freed or
 * replaced by a growing append); null when none or for a null map. */
const char *plugin_swid_map_get_swid(const plugin_swid_map *map, int32_t id);
/* Reads a map file into a new buffer owned by the caller, under a shared
 * flock.  The buffer holds the whole file, which may be longer than the map's
 * size word (a shorter map written over a longer file).  Codes:
 * PLUGIN_ERR_INVALID_ARG (null argument), PLUGIN_ERR_NOENT (no file),
 * PLUGIN_ERR_STAT, PLUGIN_ERR_EMPTY_FILE - these three leave *map untouched;
 * then PLUGIN_ERR_NOMEM, PLUGIN_ERR_OPEN, PLUGIN_ERR_READ, PLUGIN_ERR_CORRUPT,
 * which set *map to null.  Writes nothing to stderr.
 * Settled: once the shared lock is held the size is taken again from the open
 * file (fstat), so a writer that grew the file before the lock never makes
 * the read see a torn map; a file found empty then gives
 * PLUGIN_ERR_EMPTY_FILE, a failed fstat PLUGIN_ERR_STAT (both with *map
 * null).  The file's bytes are untrusted: PLUGIN_ERR_CORRUPT, with nothing
 * read or written outside the buffer, unless the file holds at least the
 * three words and the smallest string-set header, the block's max_size lies
 * within the bytes read (trailer included), the size word is no larger than
 * the bytes read (so that writing the map back stays inside the buffer), the
 * map is intact, and the block's count, space used and every string lie
 * within the block.  The size word's value is otherwise free: a map whose
 * size word is not max_size + 12 is read as any other.  A file longer than
 * INT32_MAX bytes is PLUGIN_ERR_CORRUPT. */
plugin_rc_t plugin_read_swid_map(const char *path, plugin_swid_map **map);
/* Writes the map's size-word bytes at the start of the file under an
 * exclusive flock: mode "w" (created) when the path cannot be queried, else
 * "r+" (a longer file keeps its length and its tail).  Codes:
 * PLUGIN_ERR_INVALID_ARG, PLUGIN_ERR_CORRUPT ("%s: corrupted swid_map_",
 * nothing opened), PLUGIN_ERR_OPEN ("%s: open %s for write failed"),
 * PLUGIN_ERR_WRITE ("%s: corrupted swid_map_"; the file may be partly
 * rewritten).  The map passed is never changed.
 * Settled: an intact map is written whatever its size word says, as many
 * bytes as the size word gives (the caller vouches for them; a map read by
 * plugin_read_swid_map always has them); a size word with the sign bit set
 * is PLUGIN_ERR_CORRUPT like a map that is not intact; a failed fflush
 * (before the lock is released) or a failed fclose after a complete fwrite
 * is PLUGIN_ERR_WRITE with the same line, so a write to a full device never
 * reports success. */
plugin_rc_t plugin_write_swid_map(const char *path, const plugin_swid_map *map);

/* ------------------------------------------------------------------ */
/* Load and unload order                                               */
/* ------------------------------------------------------------------ */

/* Topological order of a dependency matrix of count rows of count words
 * (matrix[i][j] != 0: plugin i depends on plugin j).  Each position k takes
 * the lowest-index plugin not yet placed whose dependencies are all placed;
 * 0, PLUGIN_ERR_NOMEM, or PLUGIN_ERR_DEP_CYCLE when no plugin left is free of
 * dependencies on plugins left (a cycle, or a self-mark): positions before
 * the failure hold the plugins placed, the rest is untouched.  Arguments are
 * not tested; a count of 0 returns 0 and writes nothing.  Costs count^2
 * (a per-plugin count of dependencies on plugins not yet placed). */
plugin_rc_t plugin_topological_order_get(uint16_t count, uint32_t **matrix, uint32_t *order);
/* Load order of count (at most 65535) records: order[k] is the index of the
 * k-th plugin to load.  Plugin i depends on every other plugin j whose
 * software id its dependency list names (its own id and ids outside the set
 * are ignored).  Writes to stderr, always: srg_dump of every record,
 * "%d %s: no dependency list" or "%d %s depends on: " with the matched ids
 * each followed by a blank, "failed get dependency list for %s"; debug lines
 * "plugin_find_load_order(): num_img=%d", "...(): srg_dump for img=%s" and
 * "topological order: " with every entry.  Codes: PLUGIN_ERR_FAILED (count 0,
 * null array, row table allocation, dependency list query failed - order
 * untouched), PLUGIN_ERR_NOMEM (a row, or the arrays of software ids, of
 * indices sorted by id and of matched plugins - order untouched, nothing
 * written but the first debug line), or the sort's result.
 * Settled: a record without a software id shows as "(null)" in every line
 * and no dependency string matches it.  Dependencies are matched through an
 * index of the software ids sorted once per call rather than by comparing
 * every dependency with every record: the plugins matched, the marks, the
 * lines and the order are the same, only the time grows more slowly; a
 * failing allocation of the index is PLUGIN_ERR_NOMEM with no line, as for a
 * row. */
plugin_rc_t plugin_find_load_order(uint32_t count, srg_record **records, uint32_t *order);
/* Unload order: the load order reversed in place, then the debug line
 * "unload order: " with every entry.  A failure of the load order is
 * returned unchanged, the order array as the load order left it. */
plugin_rc_t plugin_find_unload_order(uint32_t count, srg_record **records, uint32_t *order);

/* ------------------------------------------------------------------ */
/* Image extraction                                                    */
/* ------------------------------------------------------------------ */

/* Unpacks a plugin image into dir with "dd if=<image> skip=1 bs=<block size>
 * 2>/dev/null | tar -x[v]kPpmz -C <dir>[ > <tar_log>]": the header block is
 * skipped, existing files are kept, the manifest (tar_log, may be null) is
 * replaced by tar's listing.  Then runs plugin_do_newer_fs(image, tar_log, dir).
 * 0 once the command ran, whatever its exit status (a damaged archive
 * included); PLUGIN_ERR_IMG_OPEN when the image cannot be opened (nothing
 * printed); PLUGIN_ERR_NOMEM when the command buffer (strlen(image) + 201
 * bytes) cannot be allocated; PLUGIN_ERR_EXTRACT when the command cannot be
 * run.  No overlay after a failure.
 * Settled: a command that does not fit its buffer (dir and tar_log together
 * longer than about 140 characters) is never run cut: it writes
 * "plugin_extract_image: command for <image> does not fit, not run" and
 * returns PLUGIN_ERR_EXTRACT (the extraction command could not be run; no
 * allocation failed, so not PLUGIN_ERR_NOMEM).  A null image returns
 * PLUGIN_ERR_IMG_OPEN, a null dir PLUGIN_ERR_EXTRACT; neither opens nor
 * prints anything. */
plugin_rc_t plugin_extract_image(const char *image, const char *dir, const char *tar_log);
/* Lays /bootflash/<base name>-newer-fs over dir when the kernel command line
 * value of "use_newer_fs" begins with "yes" or is a prefix of the image's base
 * name (after its last '/'; an empty value selects every image).  Lists the
 * newer-fs directory into "<tar_log>-newer-fs", appends to tar_log every entry
 * not already present below dir, removes the list, then writes
 * Executing "<copy>" and runs that copy, "cp -af <newer-fs>/<all> <dir>"
 * (all: the shell's star).  Lines go to stderr; nothing is reported to the
 * caller.  Note the argument order: tar_log before dir.
 * Settled:
 *  - without a manifest (tar_log null) no list is made and nothing is added
 *    or removed; the copy still runs, so the files are laid over all the same;
 *  - a path (newer-fs directory, list, candidate) that does not fit 256 bytes
 *    or a command that does not fit 512 bytes is never used cut: the step is
 *    skipped with a line "plugin_do_newer_fs: ... does not fit ...".  A
 *    newer-fs directory that does not fit skips the whole overlay; a list path
 *    that does not fit skips the list, the additions and the removal but not
 *    the copy; an entry whose candidate path or addition does not fit is not
 *    added; a list command that does not fit skips the additions;
 *  - a null image or dir does nothing. */
void plugin_do_newer_fs(const char *image, const char *tar_log, const char *dir);
/* Extracts one member of the running system image
 * /var/sysmgr/ftp/img-sync/curr-velm.img onto "/" (member begins with '/';
 * a directory comes with everything below it), appending tar's listing to
 * tar_log (may be null).  Writes its "img_path", "About to run command" and
 * "successful" lines to stderr and stdout as documented; no overlay.
 * 0, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_NOMEM (command buffer of strlen(member)
 * + 201 bytes), PLUGIN_ERR_EXTRACT (command could not be run).
 * Settled: a command that does not fit its buffer is not run: a line
 * "plugin_extract_plugin_from_velm_image: command for <member> does not fit,
 * not run" and PLUGIN_ERR_EXTRACT.  A null member returns PLUGIN_ERR_EXTRACT
 * before anything is printed or opened. */
plugin_rc_t plugin_extract_plugin_from_velm_image(const char *member, const char *tar_log);

/* ------------------------------------------------------------------ */
/* Software record files                                               */
/* ------------------------------------------------------------------ */

/* Reads a record file into a new record owned by the caller (free()).
 * 0; PLUGIN_ERR_INVALID_ARG (null argument, *record untouched);
 * PLUGIN_ERR_SRG_EMPTY (no record in the file, *record untouched);
 * PLUGIN_ERR_NOMEM (*record null); or srg_file_clone's non-zero value
 * unchanged (*record null). */
plugin_rc_t plugin_clone_srg(const char *path, srg_record **record);
/* Reads the software record (vendor information) out of a plugin image,
 * through the temporary file /tmp/plugin_imgsrg.sro, which is removed after
 * it was read.  0; PLUGIN_ERR_INVALID_ARG; PLUGIN_ERR_IMG_OPEN;
 * img_extract_vendor_info's non-zero value unchanged (no record read,
 * *record untouched); or any result of plugin_clone_srg. */
plugin_rc_t plugin_extract_srg(const char *image, srg_record **record);
/* Stores a record as /velm/plugin/<id>/plugin.sro (exactly srg_size bytes;
 * the plugin directory must exist) and links /velm/plugin_srg/plugin-<swid>.sro
 * to it unless that path already leads to an existing file.  Trace lines
 * "plugin_save_sro id ...", "sro path ...", "extract path ...", "sro_link ..."
 * go to stderr.  0; PLUGIN_ERR_FAILED (no software id); PLUGIN_ERR_OPEN;
 * PLUGIN_ERR_WRITE; PLUGIN_ERR_LINK (a dangling link included).  A failed
 * store leaves what it had written.
 * Settled: the record file is created with mode 0666 less the umask.  A
 * record without software id shows as "swid !(null)!" in the first
 * trace line.  A null record is treated as a record without software id:
 * that trace line, "plugin_save_sro: get swid failed for plugin_id <id>" and
 * PLUGIN_ERR_FAILED.  A link path that does not fit 256 bytes (a long
 * software id) is never cut into another file's name: the three trace lines
 * still come, the "sro_link" one showing the path cut to the first 255 bytes
 * its buffer holds; then, before any file is written, "plugin_save_sro: link
 * path for swid <swid> does not fit, record not stored" and PLUGIN_ERR_LINK
 * (the link cannot be named). */
plugin_rc_t plugin_save_sro(int32_t plugin_id, const srg_record *record);
/* Removes the software-id link named by the record in
 * /velm/plugin/<id>/plugin.sro (outcome ignored), then the record file, both
 * with plugin_rmdir; returns the result of the second removal (0,
 * PLUGIN_ERR_FAILED or PLUGIN_ERR_NOMEM).  No record file: no link removed, 0.
 * Settled: a link path that does not fit 256 bytes is not removed (a line
 * "plugin_cleanup_sro: link path for swid <swid> does not fit, link not
 * removed"); the record file is removed all the same. */
plugin_rc_t plugin_cleanup_sro(int32_t plugin_id);

/* ------------------------------------------------------------------ */
/* Exec-path linking                                                   */
/* ------------------------------------------------------------------ */

/* Links every manifest entry of an extracted plugin into the root tree: a
 * directory /E for a directory E of the plugin, otherwise a symbolic link /E
 * to plugin_path/E (for a symbolic link of the plugin: to where its contents
 * lead, relative contents joined to its directory).  Looks up "pdebug" on the
 * kernel command line first (duplicates then set no result code), runs with
 * umask 0 and restores the caller's umask on every return; sets the debug
 * switch to 0 and leaves it so.  Pass 1 reports every name already taken,
 * pass 2 links; then the patch hook plugin_load_committed_patch runs (called
 * by its exported name).  A failure after links were made is undone with
 * plugin_unlink_from_exec_path.  The exclusion set may be null.
 * Returns 0, PLUGIN_ERR_NOMEM, PLUGIN_ERR_INVALID_ARG (null tar_log or
 * plugin_path, no message), PLUGIN_ERR_OPEN, PLUGIN_ERR_SEEK,
 * PLUGIN_ERR_STAT, PLUGIN_ERR_DUPLICATE, PLUGIN_ERR_MKDIR or PLUGIN_ERR_LINK.
 * Link names and source paths are cut to 255 characters.
 * Settled: a link target built from relative contents that would exceed 255
 * characters fails the entry with PLUGIN_ERR_LINK and the line
 * "plugin_link_to_exec_path: link target for <source path> longer than 255
 * characters" (always written); nothing is cut or written past a buffer. */
plugin_rc_t plugin_link_to_exec_path(const char *tar_log, const plugin_strings *exclude,
                                     const char *plugin_path);
/* Removes a plugin's links from the root tree and its emptied directories:
 * pass 1 removes the symbolic links at the manifest's link names whose
 * contents are longer than plugin_path and begin with it (a plain text
 * prefix); pass 2 removes each listed directory that is empty at its turn
 * (once, in manifest order).  Problems of the tree are reported or ignored;
 * neither the umask nor the debug switch is touched.  The exclusion set may
 * be null.  Returns 0, PLUGIN_ERR_NOMEM or PLUGIN_ERR_OPEN.
 * Settled: a null tar_log or plugin_path returns PLUGIN_ERR_INVALID_ARG,
 * without a message and before anything is allocated or read. */
plugin_rc_t plugin_unlink_from_exec_path(const char *tar_log, const plugin_strings *exclude,
                                         const char *plugin_path);
/* 1 when a link name is excluded by the set, else 0 (also for a null path or
 * set).  A string excludes the path when its first occurrence starts at the
 * path's first character, or begins with '/' and has only '/' between the
 * path's second character and it: "/etc/x" excludes /etc/x, //etc/x and
 * /etc/xyz, not /a/etc/x; the empty string excludes every path.  Writes
 * "plugin_file_is_excluded_from_exec_path: <path> is excluded from linking"
 * to stderr on every exclusion. */
int plugin_file_is_excluded_from_exec_path(const char *path, const plugin_strings *exclude);

/* ------------------------------------------------------------------ */
/* Boot selection and state                                            */
/* ------------------------------------------------------------------ */

/* Value of a kernel command line key, in static storage valid until the next call; or null.
 * Reads at most 511 bytes of /proc/cmdline into a static 512-byte buffer (one
 * open/read/close, no allocation), finds the key as a substring anywhere, takes
 * the text after the first "=" from the match onward and cuts it in place.
 * Writes "Expected cmdline", "File read" and "Read" lines on every call.
 * Null for a null key, an unreadable or empty /proc/cmdline, or an absent key.
 * Settled: no "=" after the match before the end of the text returns null
 * (no further line).  A value ends at the first blank after its first
 * character (a value that begins with a blank is empty); a line feed inside
 * the text is part of the value.  A value that runs to the end of the text
 * comes back without the text's final line feed, the kernel's own.  Not
 * thread-safe: each call overwrites the buffer. */
char *plugin_get_cmdline(const char *key);
/* Parses a plugin list ("3,4+5"); hands out all entries (selector != 0) or the
 * boot-together group (selector 0) and returns their count; 0 on failure.
 * *plugins is set to null first and stays null on every failure (empty list,
 * allocation failure, a "+" after the "+" group was closed, a character other
 * than digits, "+" and ","); nothing stays allocated then.  The array handed
 * out is the caller's (free()); entries past the count are 0.
 * Settled: arrays hold L entries (L = strlen(list)), or L + 1 when the list
 * holds no digit at all ("," gives 0, 0 with count 2), so a count returned
 * never exceeds the array's entries; the "malloc %d bytes failed" line shows
 * the byte size of one array as requested.  Entries wrap around modulo 2^32
 * instead of overflowing.  A null list behaves as the empty list; a null
 * plugins pointer returns 0 and writes nothing. */
int32_t plugin_from_cmdline(const char *list, int32_t **plugins, int32_t selector);
/* Gathers the plugin names of an image configuration file into a new set:
 * the configuration's image names in order, then "fc_plugin" and
 * "virt_plugin" when /mnt/pss/load-fcplugin and /mnt/pss/load-virtplugin
 * exist and path contains "img.conf".  The set is sized exactly (string
 * capacity: the names; byte capacity: their lengths plus terminators) and
 * released with plugin_strings_free().  Returns 0, a non-zero code of
 * plugin_icf_* unchanged, PLUGIN_ERR_NOMEM (the set) or PLUGIN_ERR_FAILED (a
 * name not appended); *names is null on every failure and the configuration
 * handle is closed on every path.  Silent on success unless debug is on.
 * Settled: a null path or a null names pointer returns PLUGIN_ERR_INVALID_ARG
 * without a message (*names set to null when names is not null). */
plugin_rc_t plugin_get_names_from_conf(const char *path, plugin_strings **names);
/* Reads the boot-stage record from /velm/plugin_extract_log/stage_boot; size
 * must be (get_max_allowed_zell() + 2) * 4, asked once per call.  Without the
 * file word 0 becomes 0x424F4F54 ("BOOT"), the other words are untouched and
 * no file is made (0).  PLUGIN_ERR_INVALID_ARG (null record or wrong size, with
 * a line), PLUGIN_ERR_OPEN (the file exists but cannot be opened, no line),
 * PLUGIN_ERR_READ (still short after 5 tries one second apart, with a line).
 * Settled: the address in the size-mismatch line is its low 32 bits ("%x"); a
 * required size below 4 bytes (a limit below -1) never matches. */
plugin_rc_t plugin_read_remaining_load(uint32_t *record, int32_t size);
/* Writes the boot-stage record; size must be (get_max_allowed_zell() + 2) * 4.
 * Creates the file (mode "w") when it does not exist, else overwrites its
 * first size bytes in place (mode "r+", a longer file keeps its tail).
 * PLUGIN_ERR_INVALID_ARG (as for the read), PLUGIN_ERR_OPEN (cannot be opened,
 * e.g. no /velm/plugin_extract_log), PLUGIN_ERR_WRITE (short write); only the
 * size mismatch writes a line.  Settled: the stream is unbuffered, so a write
 * refused by the device (a full disk) is reported as PLUGIN_ERR_WRITE. */
plugin_rc_t plugin_write_remaining_load(const uint32_t *record, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* PLUGIN_INTN_H */

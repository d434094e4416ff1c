/*
 * plugin_strings.h - counted set of NUL-terminated strings in one
 * contiguous, pointer-free block (libplugin_str.so).
 *
 * A block may be written to a file and read back at any address.  All of its
 * data lies within its first plugin_strings_max_size() bytes.  A set made with
 * string capacity n and byte capacity b (terminators included) accepts n
 * strings whose lengths plus terminators total b bytes, and not one byte more:
 * an append of a string of length L succeeds exactly when the count is below
 * the string capacity and space_used + L + 1 < max_size.
 *
 * Settled (layout in plugin_str.cc): words in host byte order, read with
 * memcpy so a block may sit at any address; M = 20 + 4 * strings + bytes + 1
 * (not rounded, so a word placed right after M bytes may be unaligned);
 * space_used = 20 + 4 * strings + text bytes held.  M never exceeds
 * INT32_MAX: larger capacities make memory_size return 0 and init/malloc
 * fail.  A damaged block (bad magic, counts or offsets outside M) makes the
 * accessors return their failure values without reading outside M bytes.
 */
#ifndef PLUGIN_STRINGS_H
#define PLUGIN_STRINGS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct plugin_strings plugin_strings;

/* Size M in bytes of a block for max_bytes of string text and max_strings
 * strings; 0 when M would exceed INT32_MAX. */
uint32_t plugin_strings_memory_size(uint32_t max_bytes, uint32_t max_strings);
/* Makes the block of memory_size bytes an empty set; negative on failure (null
 * block, memory_size too small for max_strings or above INT32_MAX).  The byte
 * capacity is what memory_size leaves after the header and offset table. */
int32_t plugin_strings_init(plugin_strings *set, uint32_t max_strings, uint32_t memory_size);
/* A new empty set owned by the caller (release with plugin_strings_free); null on failure. */
plugin_strings *plugin_strings_malloc(uint32_t max_strings, uint32_t max_bytes);
/* Releases a set made by plugin_strings_malloc; null is ignored. */
void plugin_strings_free(plugin_strings *set);
/* The M the block was initialised with; negative for null. */
int32_t plugin_strings_max_size(const plugin_strings *set);
/* Bytes in use, in the same measure as plugin_strings_max_size; negative for null. */
int32_t plugin_strings_space_used(const plugin_strings *set);
/* String capacity; 0 for null. */
uint32_t plugin_strings_max_strings_get(const plugin_strings *set);
/* Number of strings held; 0 for null or an empty set. */
uint32_t plugin_strings_num_strings_get(const plugin_strings *set);
/* Appends a copy of s at index count; negative (set unchanged) when it does not fit. */
int32_t plugin_strings_append(plugin_strings *set, const char *s);
/* String at index, pointing into the block; null for an index not below the count. */
const char *plugin_strings_get(const plugin_strings *set, uint32_t index);
/* Index of a held string equal to s (the lowest such index); negative when
 * none or s is null. */
int32_t plugin_strings_find(const plugin_strings *set, const char *s);
/* Copies src's strings into dst (own capacities) at the same indices; negative
 * on failure (null, too many strings or bytes for dst), dst unchanged.
 * Settled: strings dst held before are dropped; copying a set onto itself is 0. */
int32_t plugin_strings_copy(plugin_strings *dst, const plugin_strings *src);

#ifdef __cplusplus
}
#endif
#endif

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
 */
#ifndef PLUGIN_STRINGS_H
#define PLUGIN_STRINGS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct plugin_strings plugin_strings;

/* Size M in bytes of a block for max_bytes of string text and max_strings strings. */
uint32_t plugin_strings_memory_size(uint32_t max_bytes, uint32_t max_strings);
/* Makes the block of memory_size bytes an empty set; negative on failure. */
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
/* Index of a held string equal to s (the lowest such index); negative when none. */
int32_t plugin_strings_find(const plugin_strings *set, const char *s);
/* Copies src's strings into dst (empty, own capacities); negative on failure, dst unchanged. */
int32_t plugin_strings_copy(plugin_strings *dst, const plugin_strings *src);

#ifdef __cplusplus
}
#endif
#endif

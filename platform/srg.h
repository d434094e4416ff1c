/*
 * srg.h - software records and their dependency lists (libsrg.so).
 *
 * A record is one pointer-free block of bytes that is at the same time its
 * stored form (a ".sro" record file holds exactly these bytes).  Multi-byte
 * fields are big-endian and decoded on access, so a record written on any
 * host reads the same everywhere.  The stored form (offsets from the first
 * byte; u32 = unsigned 32-bit big-endian):
 *
 *   0   "SRG1"        magic
 *   4   u32 size      S, total bytes of the record (header included)
 *   8   u32 flags     bit 0: has a software id, bit 1: has a dependency list
 *   12  u32, u32      offset and length of the software id (0, 0 when none);
 *                     its bytes are followed by a NUL inside the record
 *   20  u32, u32      offset and length of the dependency list (0, 0 when none)
 *   28  ...           data
 *
 * A dependency list (what a sysmgr_strings pointer points at) is
 * u32 list length, u32 count, count u32 string offsets from the list's first
 * byte, then the NUL-terminated strings.  Software ids and dependencies are
 * 1..SRG_SW_ID_MAX characters.  A record file holds exactly the S bytes of a
 * valid record.  Every accessor checks the whole record before using it and
 * answers its failure value for an invalid one; nothing is ever read beyond S.
 */
#ifndef SRG_H
#define SRG_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct srg_record srg_record;

#define SRG_SW_ID_MAX 255            /* longest software id or dependency */
#define SRG_MAX_SIZE (1024u * 1024u) /* largest record accepted */

/* Results of srg_file_clone and srg_dependency_strings_get (0 is success). */
#define SRG_ERR_INVALID_ARG 0x5E600001u /* a null argument, or flags not 0 */
#define SRG_ERR_OPEN 0x5E600002u        /* the file cannot be opened or is not a regular file */
#define SRG_ERR_READ 0x5E600003u        /* reading the file failed */
#define SRG_ERR_INVALID 0x5E600004u     /* no valid record (bad magic, lengths outside, ...) */
#define SRG_ERR_SIZE 0x5E600005u        /* the size given is not the file's record size */
#define SRG_ERR_NOMEM 0x5E600006u       /* an allocation failed */
/* A dependency list; lives inside its record's block and is never freed. */
typedef struct sysmgr_strings sysmgr_strings;

/* Size of the record held by a record file; 0 when it holds no valid record
 * (missing, not a regular file, empty, truncated, trailing bytes, bad magic,
 * lengths outside) and also when the check cannot allocate its buffer. */
uint32_t srg_file_size(const char *path);
/* Reads the record of a file into buf (size bytes from srg_file_size); 0 on
 * success, else an SRG_ERR_* code (buf may then hold part of the file). */
uint32_t srg_file_clone(srg_record *buf, const char *path, uint32_t size);
/* Number of bytes of the record's stored form; 0 for null or an invalid record. */
uint32_t srg_size(const srg_record *record);
/* The record's software id (points into the record), or null when it has
 * none or the record is invalid. */
const char *srg_sw_id_get(const srg_record *record);
/* The software id of the record in a file, or null when the file holds no
 * valid record or the record has no id.  Settled: the id is copied into one
 * static buffer of SRG_SW_ID_MAX + 1 bytes, overwritten by the next call (not
 * thread-safe); the caller never frees it. */
const char *srg_sw_id_file_get(const char *path);
/* Sets *list to the record's dependency list (null when it has none); 0 on
 * success.  The list lies inside the record: never freed, valid while the
 * record is.  The flags argument is reserved and must be 0
 * (SRG_ERR_INVALID_ARG otherwise); an invalid record gives SRG_ERR_INVALID. */
uint32_t srg_dependency_strings_get(const srg_record *record, uint32_t flags,
                                    const sysmgr_strings **list);
/* Writes a readable description of the record to out:
 *   "swid: ID\n" ("swid: (none)\n" without one), then "  depends on: DEP\n"
 *   for each dependency, or "  no dependencies\n";
 * "software record: invalid\n" for an invalid record.  Returns the number of
 * characters written, or -1 (invalid record, null stream, write error). */
int srg_dump(FILE *out, const srg_record *record);

/* Number of strings of a dependency list; 0 for null. */
uint32_t sysmgr_strings_num_strings_get(const sysmgr_strings *list);
/* String at index of a dependency list; null when out of range. */
const char *sysmgr_strings_get(const sysmgr_strings *list, uint32_t index);

#ifdef __cplusplus
}
#endif
#endif

/*
 * srg.h - software records and their dependency lists (libsrg.so).
 *
 * A record is one pointer-free block of bytes that is at the same time its
 * stored form (a ".sro" record file holds exactly these bytes).  Multi-byte
 * fields are big-endian and decoded on access, so a record written on any
 * host reads the same everywhere.  The stored form is documented in srg.cc
 * and README.md.
 */
#ifndef SRG_H
#define SRG_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct srg_record srg_record;
/* A dependency list; lives inside its record's block and is never freed. */
typedef struct sysmgr_strings sysmgr_strings;

/* Size of the record held by a record file; 0 when it holds no valid record. */
uint32_t srg_file_size(const char *path);
/* Reads the record of a file into buf (size bytes from srg_file_size); 0 on success. */
uint32_t srg_file_clone(srg_record *buf, const char *path, uint32_t size);
/* Number of bytes of the record's stored form. */
uint32_t srg_size(const srg_record *record);
/* The record's software id (points into the record), or null when it has none. */
const char *srg_sw_id_get(const srg_record *record);
/* The software id of the record in a file, or null; static storage, valid
 * until the next call, never freed by the caller. */
const char *srg_sw_id_file_get(const char *path);
/* Sets *list to the record's dependency list (null when it has none); 0 on success.
 * The flags argument is reserved and must be 0. */
uint32_t srg_dependency_strings_get(const srg_record *record, uint32_t flags,
                                    const sysmgr_strings **list);
/* Writes a readable description of the record to out. */
int srg_dump(FILE *out, const srg_record *record);

/* Number of strings of a dependency list; 0 for null. */
uint32_t sysmgr_strings_num_strings_get(const sysmgr_strings *list);
/* String at index of a dependency list; null when out of range. */
const char *sysmgr_strings_get(const sysmgr_strings *list, uint32_t index);

#ifdef __cplusplus
}
#endif
#endif

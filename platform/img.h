/*
 * img.h - plugin and system image files (libimage.so).
 *
 * An image file is one header block of block_size bytes followed by a
 * gzip-compressed tar archive.  The header block carries a magic, the block
 * size and the vendor information (one software record in its stored form).
 *
 * The header block of N bytes is itself a complete gzip member that
 * decompresses to nothing, so the whole file also reads as one gzip stream of
 * the archive ("dd if=IMG | tar -xz" works as well as skipping the block).
 * Offsets from the first byte; le16 little-endian (gzip's own order), be16 /
 * be32 big-endian:
 *
 *   0   1f 8b 08 04       gzip magic, deflate, FLG = FEXTRA
 *   4   00 00 00 00 00 ff  mtime 0, XFL 0, OS unknown
 *   10  le16 N - 22       XLEN: the extra field fills the block
 *   12  'P' 'I'           extra subfield id
 *   14  le16 N - 26       subfield length
 *   16  "PIMG"            image magic
 *   20  be16 N            block size
 *   22  be16 1            header format version
 *   24  be32 V            vendor information length
 *   28  V bytes           vendor information: one valid software record
 *   ..  zero bytes        up to N - 10
 *   N-10  03 00           empty deflate block
 *   N-8   8 zero bytes    CRC32 and size of the empty member
 *
 * So N >= V + IMG_HEADER_OVERHEAD.  img_open checks every field above (the
 * padding excepted) and that the file holds at least the N bytes.
 */
#ifndef IMG_H
#define IMG_H

#include <stdint.h>

/* Bytes of a header block beyond the vendor information (28 before, 10 after). */
#define IMG_HEADER_OVERHEAD 38

/* Status codes of img_open and results of img_extract_vendor_info / img_close. */
#define IMG_ERR_INVALID_ARG 0x1A6E0001u /* a null argument */
#define IMG_ERR_OPEN 0x1A6E0002u        /* the file cannot be opened, or is not a regular file */
#define IMG_ERR_READ 0x1A6E0003u        /* reading the image failed */
#define IMG_ERR_TRUNCATED 0x1A6E0004u   /* the file ends inside the header block */
#define IMG_ERR_HEADER 0x1A6E0005u      /* the header block is not one of this format */
#define IMG_ERR_RECORD 0x1A6E0006u      /* the vendor information is not a valid record */
#define IMG_ERR_NOMEM 0x1A6E0007u       /* an allocation failed */
#define IMG_ERR_WRITE 0x1A6E0008u       /* the vendor information file cannot be written */

#ifdef __cplusplus
extern "C" {
#endif

/* What an open image handle points at: the callers read block_size directly. */
typedef struct img_handle {
    uint16_t block_size; /* size in bytes of the image's header block */
} img_handle;

/* Opens an image and checks its header block; *status is set on every call
 * (unless status itself is null, which returns null): 0 and a non-null handle
 * on success, an IMG_ERR_* code and null on failure.  The handle holds a copy
 * of the vendor information; the file is not kept open. */
img_handle *img_open(const char *path, int32_t *status);
/* Writes the image's vendor information (a record file of exactly the record's
 * bytes) to path, created or truncated with mode 0644 less the umask; 0 on
 * success, else an IMG_ERR_* code (a partly written file may remain).
 * Settled: a symbolic link at path, dangling or not, is never followed: the
 * call fails with IMG_ERR_WRITE and leaves the link and its target as they were. */
uint32_t img_extract_vendor_info(img_handle *handle, const char *path);
/* Releases a handle from img_open; 0, or IMG_ERR_INVALID_ARG for null. */
int32_t img_close(img_handle *handle);

#ifdef __cplusplus
}
#endif
#endif

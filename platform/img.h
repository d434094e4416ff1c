/*
 * img.h - plugin and system image files (libimage.so).
 *
 * An image file is one header block of block_size bytes followed by a
 * gzip-compressed tar archive.  The header block carries a magic, the block
 * size and the vendor information (one software record in its stored form).
 * The header layout is documented in img.cc and README.md.
 */
#ifndef IMG_H
#define IMG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What an open image handle points at: the callers read block_size directly. */
typedef struct img_handle {
    uint16_t block_size; /* size in bytes of the image's header block */
} img_handle;

/* Opens an image; *status is set on every call: 0 and a non-null handle on
 * success, non-zero (and null) on failure. */
img_handle *img_open(const char *path, int32_t *status);
/* Writes the image's vendor information (a record file) to path; 0 on success. */
uint32_t img_extract_vendor_info(img_handle *handle, const char *path);
/* Releases a handle from img_open. */
int32_t img_close(img_handle *handle);

#ifdef __cplusplus
}
#endif
#endif

/*
 * plugin_icf.h - image configuration reader (libplugin_icf.so).
 *
 * A configuration file lists one image name per line; blank lines and lines
 * whose first non-blank character is '#' are ignored, surrounding blanks are
 * trimmed (a '#' after a name belongs to the name); the last line needs no
 * newline.  A line longer than PLUGIN_ICF_MAX_LINE bytes or holding a NUL byte
 * makes the whole file invalid (PLUGIN_ICF_ERR_LINE).  The file is read once,
 * by plugin_icf_open.  Error codes are this component's own (PLUGIN_ICF_ERR_*), outside
 * the 0x40EA range of libplugin_intn.
 */
#ifndef PLUGIN_ICF_H
#define PLUGIN_ICF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct plugin_icf plugin_icf;

#define PLUGIN_ICF_ERR_INVALID_ARG 0x1C0F0001u /* a null argument */
#define PLUGIN_ICF_ERR_OPEN 0x1C0F0002u        /* the file cannot be opened */
#define PLUGIN_ICF_ERR_NOMEM 0x1C0F0003u       /* an allocation failed */
#define PLUGIN_ICF_ERR_READ 0x1C0F0004u        /* reading the file failed */
#define PLUGIN_ICF_ERR_LINE 0x1C0F0005u /* a line is longer than PLUGIN_ICF_MAX_LINE or holds NUL */

#define PLUGIN_ICF_MAX_LINE 255

/* Opens and reads a configuration; *handle is set on success and left as it
 * was on failure.  0 or an error code. */
uint32_t plugin_icf_open(const char *path, plugin_icf **handle);
/* Next image name (null when none is left, on every further call too).  Settled:
 * a name stays valid until plugin_icf_close, longer than the next call. */
uint32_t plugin_icf_get_name(plugin_icf *handle, const char **name);
/* Restarts the walk and yields the first image name (null when there is none). */
uint32_t plugin_icf_first_img_name(plugin_icf *handle, const char **name);
/* Releases the handle; null is ignored. */
uint32_t plugin_icf_close(plugin_icf *handle);

#ifdef __cplusplus
}
#endif
#endif

// The manifest: one extracted path per line, read with __getdelim into a
// pi::LineBuffer.  manifest_line_trim turns a line into its entry.
#ifndef PI_EXECPATH_MANIFEST_H
#define PI_EXECPATH_MANIFEST_H

#include <cstddef>

namespace pi {

// Works in place on a line as read (NUL-terminated, its line feed included):
// drops one leading "./" and then one trailing line feed.  Returns the entry,
// a pointer into the line, or nullptr when nothing remains.
char *manifest_line_trim(char *line);

}  // namespace pi

#endif

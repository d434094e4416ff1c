// The manifest: one extracted path per line, read with __getdelim into a
// heap buffer of 256 bytes that grows for longer lines.
//
// manifest_line_trim is the one line rule of the library: every reader of a
// manifest or of a listing of the same form goes through it.  The names an
// entry stands for in the exec path are built by manifest_link_name and
// manifest_source_path, each bounded to 255 characters.
#ifndef PI_EXECPATH_MANIFEST_H
#define PI_EXECPATH_MANIFEST_H

#include <cstdio>
#include <cstdlib>
#include <sys/types.h>

#include "frame/own.h"
#include "frame/path.h"

namespace pi {

// The owner of a heap line buffer for __getdelim, which grows it for longer
// lines: allocate() gives it its first 256 bytes (once); false on failure.
class LineBuffer {
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(buf_); }
    bool allocate() {
        buf_ = static_cast<char *>(std::malloc(kPathMax));
        cap_ = buf_ ? kPathMax : 0;
        return buf_ != nullptr;
    }
    // Reads one line including its delimiter; the length, or -1 at the end of
    // the file or on a read or allocation failure.
    ssize_t read(FILE *f, int delim = '\n') { return ::__getdelim(&buf_, &cap_, delim, f); }
    char *data() const { return buf_; }

private:
    char *buf_ = nullptr;
    std::size_t cap_ = 0;
};

// Works in place on a line as read (NUL-terminated, its line feed included):
// drops one leading "./" and then one trailing line feed.  Returns the entry,
// a pointer into the line, or nullptr when nothing remains (or line is null).
// Nothing else is trimmed: blanks, a carriage return, a trailing '/' and a
// further "./" stay part of the entry.
char *manifest_line_trim(char *line);

// The link name of an entry: "/%s", cut to 255 characters.  Returns true when
// it was not cut.
bool manifest_link_name(Path &out, const char *entry);

// The source path of an entry under plugin path P: "%s/%s" of P and the
// entry, cut to 255 characters.  Returns true when it was not cut.
bool manifest_source_path(Path &out, const char *plugin_path, const char *entry);

// Reads a manifest entry by entry.  allocate() and open() are separate steps
// because callers order them differently around their own lines.
class ManifestReader {
public:
    ManifestReader() = default;
    ManifestReader(const ManifestReader &) = delete;
    ManifestReader &operator=(const ManifestReader &) = delete;
    // Allocates the 256-byte line buffer; false on failure.
    bool allocate() { return line_.allocate(); }
    // Opens the manifest for reading ("r"); false on failure.
    bool open(const char *path) {
        file_ = open_file(path, "r");
        return file_ != nullptr;
    }
    // The next entry (pointing into the line buffer, valid until the next
    // call), skipping lines that hold none; nullptr at the end of the file or
    // on a read failure, which end a pass alike.
    char *next() {
        for (;;) {
            if (!file_ || line_.read(file_.get(), '\n') < 0) return nullptr;
            if (char *entry = manifest_line_trim(line_.data())) return entry;
        }
    }
    // Positions the manifest at its start; false when fseek fails.
    bool rewind() { return std::fseek(file_.get(), 0, SEEK_SET) == 0; }
    // Closes the manifest (the line buffer stays until the reader goes).
    void close() { file_.reset(); }

private:
    LineBuffer line_;
    File file_;
};

}  // namespace pi

#endif

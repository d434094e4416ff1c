// The manifest: one extracted path per line, read with __getdelim into a heap
// buffer of 256 bytes that grows for longer lines.  manifest_line_trim is the
// one line rule: every reader of a manifest or a listing of its form uses it.
// manifest_link_name and manifest_source_path build an entry's names in the
// exec path, each bounded to 255 characters; manifest_link_target is the rule
// for what the link of a symbolic link inside the plugin points to.  The
// tools compile this file too, so that they read manifests by the same rules.
#ifndef PI_EXECPATH_MANIFEST_H
#define PI_EXECPATH_MANIFEST_H

#include <cstdio>
#include <cstdlib>
#include <sys/types.h>

#include "frame/own.h"
#include "frame/path.h"
#include "plugin_intn.h"

namespace plugin_intn {

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

// What the link for a symbolic link inside the plugin points to, from the
// link's source path and its contents: absolute contents as they are,
// relative contents after the source path's directory part (not normalised),
// cut to 255 characters.
enum class TargetRule { kFits, kNoDirectory, kTooLong };
TargetRule manifest_link_target(Path &out, const char *source, const char *contents);

// Reads a manifest entry by entry.  allocate() and open() are separate steps
// because callers order them differently around their own lines.
class ManifestReader {
public:
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

// Calls step(entry, link name) for every entry of the manifest, from where it
// stands, whose link name the exclusion set does not exclude, until a step
// fails; that step's result, else PLUGIN_OK.
template <typename Step>
plugin_rc_t for_each_link(ManifestReader &manifest, const plugin_strings *exclude, Step step) {
    while (char *entry = manifest.next()) {
        Path link;
        manifest_link_name(link, entry);
        if (plugin_file_is_excluded_from_exec_path(link.c_str(), exclude)) continue;
        const plugin_rc_t rc = step(entry, link.c_str());
        if (rc != PLUGIN_OK) return rc;
    }
    return PLUGIN_OK;
}

}  // namespace plugin_intn

#endif

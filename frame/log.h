// The logging rule: every diagnostic is a line on stderr; debug lines are
// written only while libplugin_intn_debug is non-zero at the moment of
// writing.
//
// A line begins with the name of the operation that writes it and ": ".
// Every exported operation names itself once on entry (PI_OPERATION()), and
// PI_LOG / PI_DEBUG put that name in front of the line, so no call site
// passes it; when the operation returns, the name of the operation that
// called it (if any) applies again.  pi::log / pi::debug write a line as it
// stands: the lines that are fixed in another shape.
//
// Convention: a fixed line that looks wrong (a missing name, a doubled line,
// odd wording or spacing) carries a "// verbatim: <why it looks wrong>" note.
// Its callers match these lines byte for byte; they are not to be corrected.
#ifndef PI_FRAME_LOG_H
#define PI_FRAME_LOG_H

#include "plugin_intn.h"

namespace pi {

class Operation {
public:
    explicit Operation(const char *name) : outer_(current_) { current_ = name; }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
    ~Operation() { current_ = outer_; }
    static const char *name() { return current_; }

private:
    inline static thread_local const char *current_ = "libplugin_intn";
    const char *outer_;
};

// The name of the operation running now.
inline const char *operation() { return Operation::name(); }

// A line to stderr, always.
void log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A line to stderr while the debug switch is on.
void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// True while the debug switch is on (read at every call).
inline bool debug_on() { return libplugin_intn_debug != 0; }

}  // namespace pi

#define PI_OPERATION() const ::pi::Operation pi_operation_(__func__)
#define PI_LOG(fmt, ...) ::pi::log("%s: " fmt, ::pi::operation() __VA_OPT__(, ) __VA_ARGS__)
#define PI_DEBUG(fmt, ...) ::pi::debug("%s: " fmt, ::pi::operation() __VA_OPT__(, ) __VA_ARGS__)

#endif

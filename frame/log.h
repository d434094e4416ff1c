// The logging rule: a diagnostic is a line on stderr; a debug line only while
// libplugin_intn_debug is non-zero at the moment of writing.  A line begins
// with the writing operation's name and ": ": every exported operation names
// itself on entry (PI_OPERATION()) and PI_LOG / PI_DEBUG put that name first,
// so no call site passes it; when it returns, its caller's name applies again.
// plugin_intn::log / plugin_intn::debug write the lines fixed in another shape as they stand.
// A fixed line that looks wrong (no name, doubled, odd wording or spacing)
// carries "// verbatim: <why it looks wrong>": callers match it byte for byte.
#ifndef PI_FRAME_LOG_H
#define PI_FRAME_LOG_H

#include "plugin_intn.h"

namespace plugin_intn {

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

inline const char *operation() { return Operation::name(); }

// A line to stderr, always.
void log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A line to stderr while the debug switch is on.
void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// True while the debug switch is on (read at every call).
inline bool debug_on() { return libplugin_intn_debug != 0; }

}  // namespace plugin_intn

#define PI_OPERATION() const ::plugin_intn::Operation pi_operation_(__func__)
#define PI_LOG(fmt, ...) \
    ::plugin_intn::log("%s: " fmt, ::plugin_intn::operation() __VA_OPT__(, ) __VA_ARGS__)
#define PI_DEBUG(fmt, ...) \
    ::plugin_intn::debug("%s: " fmt, ::plugin_intn::operation() __VA_OPT__(, ) __VA_ARGS__)

#endif

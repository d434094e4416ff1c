// Kernel command line: the boot line's plugin list (plugin_from_cmdline).
//
// A list such as "3,4+5" is parsed into two zero-filled arrays: every entry
// in the order of the text, and the first group joined by "+" (or, without
// any "+", the first entry alone).  One of them is handed to the caller.
#include <cstring>
#include <utility>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Entries accumulate in 32-bit arithmetic without a range check; an entry too
// large for 32 bits wraps around instead of overflowing.
int32_t push_digit(int32_t entry, char digit) {
    return static_cast<int32_t>(static_cast<uint32_t>(entry) * 10u +
                                static_cast<uint32_t>(digit - '0'));
}

void write_entries(const int32_t *entries, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) plugin_intn::log("%d ", entries[i]);
    plugin_intn::log("\n");
}

int32_t finish_failed() {
    PI_LOG("returned num plugin (%d)\n", 0);
    return 0;
}

// The two lists as the scan fills them: every entry, and the entries that
// boot together.
struct Lists {
    plugin_intn::Owned<int32_t[]> all, together;
    std::size_t all_index = 0, together_index = 0;
    bool together_open = true, first_saved = false;
    int32_t first = 0;

    // Takes one character of the list; false, with its line written, when it
    // may not stand there.
    bool read(char c) {
        if (is_digit(c)) {
            all[all_index] = push_digit(all[all_index], c);
            if (together_open) together[together_index] = push_digit(together[together_index], c);
        } else if (c == '+') {
            if (!together_open) {
                plugin_intn::log("invalid cmdline format\n");  // verbatim: no name, here and below
                return false;
            }
            ++all_index;
            ++together_index;
        } else if (c == ',') {
            ++all_index;
            // After a "+" group a "," closes it; before one, the group starts
            // afresh and only its very first entry is kept aside.
            if (together_index != 0) {
                together_open = false;
                return true;
            }
            if (!first_saved) first = together[0];
            first_saved = true;
            together[0] = 0;
        } else {
            plugin_intn::log("invalid cmdline format (invalid char %c)\n", c);
            return false;
        }
        return true;
    }

    // Writes both lists' lines and hands the chosen one out; its count.
    int32_t hand_out(int32_t selector, int32_t **plugins) {
        std::size_t together_count;
        if (together_index != 0) {
            together_count = together_index + 1;
            plugin_intn::log("Plugins which boot together: ");
            write_entries(together.get(), together_count);
        } else {
            if (first_saved) together[0] = first;
            together_count = 1;
        }
        const std::size_t all_count = all_index + 1;
        plugin_intn::log("\nAll plugins in cmdline: ");
        write_entries(all.get(), all_count);

        const int32_t count = static_cast<int32_t>(selector != 0 ? all_count : together_count);
        PI_LOG("returned num plugin (%d)\n", count);
        *plugins = selector != 0 ? all.release() : together.release();
        return count;
    }
};

}  // namespace

extern "C" PI_EXPORT int32_t plugin_from_cmdline(const char *list, int32_t **plugins,
                                                 int32_t selector) {
    PI_OPERATION();
    if (plugins == nullptr) return 0;
    *plugins = nullptr;
    if (list == nullptr || *list == '\0') {
        PI_LOG("No cmdline\n");
        return 0;
    }

    // L entries hold every list with at least one digit; a list of separators
    // alone has L + 1 entries (",": two empty entries), so it gets one more.
    std::size_t length = std::strlen(list);
    bool has_digit = false;
    for (const char *p = list; *p != '\0' && !has_digit; ++p) has_digit = is_digit(*p);
    std::size_t entries = has_digit ? length : length + 1;
    std::size_t bytes = entries * sizeof(int32_t);

    plugin_intn::Owned<int32_t[]> all = plugin_intn::alloc<int32_t>(entries);
    plugin_intn::Owned<int32_t[]> together = plugin_intn::alloc<int32_t>(entries);
    PI_LOG("cmdline %s\n", list);
    if (!all || !together) {
        PI_LOG("malloc %d bytes failed\n", static_cast<int>(bytes));
        return finish_failed();  // the owners free whichever succeeded
    }
    std::memset(all.get(), 0, bytes);
    std::memset(together.get(), 0, bytes);

    Lists lists{std::move(all), std::move(together)};
    for (const char *p = list; *p != '\0'; ++p)
        if (!lists.read(*p)) return finish_failed();
    return lists.hand_out(selector, plugins);
}

// plugin_from_cmdline on arbitrary list texts, against a model of the list
// rule: entries of digits joined by "+" (boot together) and "," (groups),
// only one group with "+", numbers accumulated with 32-bit wrap-around.  The
// model also writes the lines the call must print on stderr, byte for byte.
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "plugin_intn.h"

namespace {

struct Model {
    bool ok = false;
    std::vector<int32_t> all, together;
    std::string err;  // the lines up to the count line
};

int32_t push_digit(int32_t v, char c) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) * 10u + static_cast<uint32_t>(c - '0'));
}

std::string entries(const std::vector<int32_t> &v) {
    std::string s;
    for (int32_t e : v) s += std::to_string(e) + " ";
    return s + "\n";
}

Model model(const std::string &list) {
    Model m;
    if (list.empty()) {
        m.err = "plugin_from_cmdline: No cmdline\n";
        return m;
    }
    m.err = "plugin_from_cmdline: cmdline " + list + "\n";
    std::vector<int32_t> all(1, 0), together(1, 0);
    bool open = true, have_first = false;
    int32_t first = 0;
    std::size_t ti = 0;
    for (char c : list) {
        if (c >= '0' && c <= '9') {
            all.back() = push_digit(all.back(), c);
            if (open) together[ti] = push_digit(together[ti], c);
        } else if (c == '+') {
            if (!open) {
                m.err += "invalid cmdline format\n";
                return m;
            }
            all.push_back(0);
            together.push_back(0);
            ++ti;
        } else if (c == ',') {
            all.push_back(0);
            if (ti != 0) {
                open = false;
            } else {
                if (!have_first) {
                    first = together[0];
                    have_first = true;
                }
                together[0] = 0;
            }
        } else {
            m.err += std::string("invalid cmdline format (invalid char ") + c + ")\n";
            return m;
        }
    }
    if (ti == 0 && have_first) together[0] = first;
    if (ti != 0) m.err += "Plugins which boot together: " + entries(together);
    m.err += "\nAll plugins in cmdline: " + entries(all);
    m.ok = true;
    m.all = all;
    m.together = together;
    return m;
}

// What f writes on stderr, byte for byte.
template <typename F>
std::string stderr_of(F &&f) {
    int fd = ::memfd_create("stderr", MFD_CLOEXEC), saved = ::dup(2);
    FZ_CHECK(fd >= 0 && saved >= 0 && ::dup2(fd, 2) == 2);
    f();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    FZ_CHECK(::pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
    ::close(fd);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // The list ends at the first NUL, as a C string does.
    std::string list(reinterpret_cast<const char *>(data), size);
    list = list.c_str();
    Model m = model(list);
    bool digits = list.find_first_of("0123456789") != std::string::npos;
    for (int32_t selector : {0, 1, -7}) {
        int32_t *out = reinterpret_cast<int32_t *>(0x1);  // must be reset to null
        int32_t n = 0;
        std::string err = stderr_of([&] { n = plugin_from_cmdline(list.c_str(), &out, selector); });
        const std::vector<int32_t> &want = selector ? m.all : m.together;
        if (n == 0) {
            FZ_CHECK(out == nullptr);
            // Only an invalid list, or one without any digit (refusing it is
            // allowed), gives no result.
            FZ_CHECK(!m.ok || !digits);
            if (!m.ok) FZ_CHECK(err == m.err + (list.empty() ? "" : "plugin_from_cmdline: returned num plugin (0)\n"));
            continue;
        }
        FZ_CHECK(m.ok);
        FZ_CHECK(out != nullptr);
        FZ_CHECK(n == static_cast<int32_t>(want.size()));
        FZ_CHECK(err == m.err + "plugin_from_cmdline: returned num plugin (" + std::to_string(n) + ")\n");
        // Every entry up to the count is read (AddressSanitizer catches a
        // count beyond the array handed out); the rest of the L entries is 0.
        for (int32_t i = 0; i < n; ++i) FZ_CHECK(out[i] == want[static_cast<std::size_t>(i)]);
        for (std::size_t i = static_cast<std::size_t>(n); i < list.size(); ++i) FZ_CHECK(out[i] == 0);
        std::free(out);
    }
    return 0;
}

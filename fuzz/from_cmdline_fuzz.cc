// plugin_from_cmdline on arbitrary list texts against a model of the list rule (entries of digits
// joined by "+" (boot together) and ","; one group with "+"; 32-bit wrap-around), stderr included.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "plugin_intn.h"

namespace {

struct Model {
    bool ok = false;  // false: the list is refused
    std::vector<int32_t> all{0}, together{0};
    std::string err;  // the lines before the closing count line
};

int32_t push_digit(int32_t v, char c) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) * 10u + (c - '0'));
}

std::string entries(const std::vector<int32_t> &v) {
    std::string s;
    for (int32_t e : v) s += std::to_string(e) + " ";
    return s + "\n";
}

Model model(const std::string &list) {
    Model m;
    m.err = list.empty() ? "plugin_from_cmdline: No cmdline\n"
                         : "plugin_from_cmdline: cmdline " + list + "\n";
    if (list.empty()) return m;
    bool open = true, have_first = false;
    int32_t first = 0;
    for (char c : list) {
        int32_t &t = m.together.back();
        if (c >= '0' && c <= '9') {
            m.all.back() = push_digit(m.all.back(), c);
            if (open) t = push_digit(t, c);
        } else if (c == '+' && open) {
            m.all.push_back(0);
            m.together.push_back(0);
        } else if (c == ',') {
            m.all.push_back(0);
            open = m.together.size() == 1;  // a "," closes the group that has a "+"
            if (open && !have_first) {
                first = t;
                have_first = true;
            }
            if (open) t = 0;  // without a "+" so far, entry 0 collects the next entry
        } else {
            m.err += "invalid cmdline format" +
                     (c == '+' ? "" : std::string(" (invalid char ") + c + ")") + "\n";
            return m;
        }
    }
    if (have_first && m.together.size() == 1) m.together[0] = first;
    if (m.together.size() > 1) m.err += "Plugins which boot together: " + entries(m.together);
    m.err += "\nAll plugins in cmdline: " + entries(m.all);
    m.ok = true;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // The list ends at the first NUL, as a C string does.
    const std::string list = std::string(reinterpret_cast<const char *>(data), size).c_str();
    Model m = model(list);
    for (int32_t selector : {0, 1, -7}) {
        int32_t *out = reinterpret_cast<int32_t *>(0x1), n = 0;  // out must be reset to null
        std::string err =
            fuzz::stderr_of([&] { n = plugin_from_cmdline(list.c_str(), &out, selector); });
        const std::vector<int32_t> &want = selector ? m.all : m.together;
        if (n == 0) {
            FZ_CHECK(out == nullptr);
            // Only a refused list, or one without any digit (it may be refused), gives no result.
            FZ_CHECK(!m.ok || list.find_first_of("0123456789") == std::string::npos);
            if (!m.ok)
                FZ_CHECK(
                    err ==
                    m.err + (list.empty() ? "" : "plugin_from_cmdline: returned num plugin (0)\n"));
            continue;
        }
        FZ_CHECK(m.ok && out != nullptr && n == static_cast<int32_t>(want.size()));
        FZ_CHECK(err ==
                 m.err + "plugin_from_cmdline: returned num plugin (" + std::to_string(n) + ")\n");
        // The entries up to the count (ASan catches a count past the array), then zeros up to L.
        for (std::size_t i = 0; i < list.size() || i < want.size(); ++i)
            FZ_CHECK(out[i] == (i < want.size() ? want[i] : 0));
        std::free(out);
    }
    return 0;
}

// plugin_get_cmdline on arbitrary command lines and keys against a model of the scan, stderr byte
// for byte.  The input is the key, a NUL, then the bytes /proc/cmdline shows (the sandbox's own).
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin_intn.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::enter_sandbox(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    const void *nul = std::memchr(bytes, '\0', size);
    if (!nul) return 0;
    std::string key(bytes, static_cast<const char *>(nul));
    std::string text(static_cast<const char *>(nul) + 1, bytes + size);
    sandbox::set_cmdline(text);

    // The model: what the scan sees is the first 511 bytes, up to a NUL.
    std::string seen = text.substr(0, 511).c_str();
    std::size_t at = seen.find(key), eq = at == std::string::npos ? at : seen.find('=', at);
    bool found = !seen.empty() && eq != std::string::npos;  // no "=" after the match: no value
    std::string value = found ? seen.substr(eq + 1) : "";
    std::size_t blank = value.find(' ', 1);
    if (!value.empty() && value[0] == ' ')
        value.clear();
    else if (blank != std::string::npos)
        value.resize(blank);
    else if (!value.empty() && value.back() == '\n')
        value.pop_back();

    const char *got = nullptr;
    std::string err = fuzz::stderr_of([&] {
        int before = fuzz::lowest_free_descriptor();
        got = plugin_get_cmdline(key.c_str());
        FZ_CHECK(fuzz::lowest_free_descriptor() == before);
    });
    // The text read is shown twice, the second time without a newline (an empty file: boot test).
    const std::string f = "plugin_get_cmdline: ";
    if (!text.empty())
        FZ_CHECK(err == f + "Expected cmdline: " + key + "\n" + f + "File read ====> " + seen +
                            "\n" + f + "Read === > " + seen +
                            (at == std::string::npos ? f + "can't find " + key + "\n" : ""));
    FZ_CHECK((got != nullptr) == found);
    if (!got) return 0;
    FZ_CHECK(value == got);
    return 0;
}

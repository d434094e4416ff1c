// plugin_get_cmdline on arbitrary command lines and keys.  The input is the
// key, a NUL, then the bytes /proc/cmdline shows (the sandbox's own).  The
// value found is checked against the documented scan: the first occurrence of
// the key, the first "=" from there, a value cut at the first blank (empty
// when it begins with one); only the first 511 bytes are ever searched.  The
// lines written on stderr are checked byte for byte.
#include <sys/mman.h>

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin_intn.h"

namespace {

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

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fz::enter_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    const void *nul = std::memchr(bytes, '\0', size);
    if (!nul) return 0;
    std::string key(bytes, static_cast<const char *>(nul));
    std::string text(static_cast<const char *>(nul) + 1, bytes + size);
    pit::set_cmdline(text);

    // The model: what the scan sees is the first 511 bytes, up to a NUL.
    std::string seen = text.substr(0, 511).c_str();
    const char *expected = nullptr;
    std::string value;
    std::size_t at = seen.find(key);
    if (!seen.empty() && at != std::string::npos) {
        std::size_t eq = seen.find('=', at);
        if (eq != std::string::npos) {
            value = seen.substr(eq + 1);
            if (!value.empty() && value[0] == ' ') {
                value.clear();
            } else {
                std::size_t blank = value.find(' ', 1);
                if (blank != std::string::npos) value.resize(blank);
            }
            expected = value.c_str();
        }
    }

    const char *got = nullptr;
    std::string err = stderr_of([&] {
        int before = fz::lowest_free_descriptor();
        got = plugin_get_cmdline(key.c_str());
        FZ_CHECK(fz::lowest_free_descriptor() == before);
    });
    // Every read text is shown twice, the second time without a newline of
    // its own; an empty file is a failed read (checked elsewhere).
    const std::string f = "plugin_get_cmdline: ";
    if (!text.empty())
        FZ_CHECK(err == f + "Expected cmdline: " + key + "\n" + f + "File read ====> " + seen + "\n" + f +
                            "Read === > " + seen + (at == std::string::npos ? f + "can't find " + key + "\n" : ""));
    if (!got) {
        // Null also when no "=" follows the match (left open; the scan
        // must simply stop at the end of the text).
        FZ_CHECK(expected == nullptr || seen.find('=', at) == std::string::npos);
        return 0;
    }
    FZ_CHECK(expected != nullptr);
    std::size_t n = std::strlen(got);
    FZ_CHECK(n < 512);
    // The value is the model's, or a prefix of it that ends where the
    // kernel's line feed ends the text.
    FZ_CHECK(value.compare(0, n, got) == 0);
    FZ_CHECK(n == value.size() || value[n] == '\n');
    return 0;
}

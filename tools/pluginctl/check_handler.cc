// pluginctl check: the installer's image check (tools/installer/check.h) on
// its own, before anything of the image is written.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/installer/check.h"
#include "tools/pluginctl/commands.h"

namespace pluginctl {

installer::CheckOptions check_options(const Parsed &p) {
    installer::CheckOptions options;
    options.allow_setid = p.has("--allow-setid");
    if (p.has("--max-unpacked")) {
        const std::string text = p.value("--max-unpacked");
        char *end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0)
            throw UsageError("--max-unpacked takes a number of bytes: " + text);
        options.max_unpacked = n;
    }
    return options;
}

Outcome cmd_check(const Parsed &p) {
    const installer::CheckOptions options = check_options(p);
    const std::string &image = p.positional.at(0);
    std::vector<installer::Problem> problems;
    std::string error;
    const int rc = installer::check_image(image, options, problems, error);
    if (rc == installer::kCheckFailed) throw std::runtime_error("check: " + error);
    std::size_t refusing = 0;
    for (const installer::Problem &pr : problems) {
        refusing += pr.allowed ? 0 : 1;
        std::printf("%s\n", installer::problem_line(pr).c_str());
    }
    if (rc == installer::kCheckAccepted)
        std::printf("%s: accepted\n", image.c_str());
    else
        std::printf("%s: refused, %zu problem%s\n", image.c_str(), refusing,
                    refusing == 1 ? "" : "s");
    return status_only(rc == installer::kCheckAccepted ? 0 : 1);
}

}  // namespace pluginctl

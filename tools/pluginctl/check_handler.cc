// pluginctl check: the installer's image check (tools/installer/check.h) on
// its own, before anything of the image is written.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/installer/check.h"
#include "tools/pluginctl/commands.h"

namespace pluginctl {

bool check_options(const Parsed &p, installer::CheckOptions *options, std::string *error) {
    options->allow_setid = p.has("--allow-setid");
    if (p.has("--max-unpacked")) {
        const std::string text = p.value("--max-unpacked");
        char *end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0)
            return tools::fail(error, "--max-unpacked takes a number of bytes: " + text);
        options->max_unpacked = n;
    }
    return true;
}

Outcome cmd_check(const Parsed &p, std::string *error) {
    installer::CheckOptions options;
    if (!check_options(p, &options, error)) return bad_arguments();
    const std::string &image = p.positional[0];
    std::vector<installer::Problem> problems;
    std::string why;
    const int rc = installer::check_image(image, options, problems, why);
    if (rc == installer::kCheckFailed) return cannot_run(error, "check: " + why);
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

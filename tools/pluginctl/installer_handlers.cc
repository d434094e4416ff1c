// pluginctl install, remove, list, verify and recover: the arguments go to the
// installer (tools/installer), its results come back as lines.
#include <cstdio>

#include "tools/installer/installer.h"
#include "tools/pluginctl/cli.h"
#include "tools/pluginctl/commands.h"

namespace pluginctl {
namespace {

// Opens the installer (lock, recovery) and prints what recovery did.
bool open_installer(installer::Installer &tx) {
    std::string error;
    const bool ok = tx.open(&error);
    if (!ok) std::fprintf(stderr, "pluginctl: %s\n", error.c_str());
    for (const std::string &line : tx.recovered()) std::printf("%s\n", line.c_str());
    return ok;
}

bool options_of(const Parsed &p, installer::Options *options, std::string *error) {
    options->force_depends = p.has("--force-depends");
    return check_options(p, &options->check, error);
}

// "install hello-1.0 failed at link: PLUGIN_ERR_LINK (0x40ea001f); undone", then the details.
int print_failures(const char *verb, const std::vector<installer::Result> &results) {
    int status = 0;
    for (const installer::Result &r : results) {
        if (r.ok) continue;
        status = 1;
        std::printf("%s %s failed at %s%s%s; %s\n", verb,
                    r.swid.empty() ? r.what.c_str() : r.swid.c_str(), r.step.c_str(),
                    r.rc ? ": " : "", r.rc ? result_line(*r.rc).c_str() : "",
                    r.pending ? "pluginctl recover finishes it" : "the tree is as before");
        for (const std::string &d : r.details) std::printf("  %s\n", d.c_str());
    }
    return status;
}

// install and remove: the options first (a refused one touches nothing), then the installer
// (recover, lock), the transactions, a line for each plugin done and the failures.
Outcome run_transactions(const Parsed &p, std::string *error, bool install) {
    installer::Options options;
    if (!options_of(p, &options, error)) return bad_arguments();
    installer::Installer tx;
    if (!open_installer(tx)) return status_only(1);
    const std::vector<installer::Result> results =
        install ? tx.install(p.positional, options) : tx.remove(p.positional, options);
    for (const installer::Result &r : results) {
        if (!r.ok) continue;
        if (install)
            std::printf("installed %s as plugin %d: %u links made\n", r.swid.c_str(), r.id,
                        r.links);
        else
            std::printf("removed %s (plugin %d): %u links removed\n", r.swid.c_str(), r.id,
                        r.links);
    }
    return status_only(print_failures(install ? "install" : "remove", results));
}

}  // namespace

Outcome cmd_install(const Parsed &p, std::string *error) {
    return run_transactions(p, error, true);
}

Outcome cmd_remove(const Parsed &p, std::string *error) {
    return run_transactions(p, error, false);
}

Outcome cmd_list(const Parsed &, std::string *) {
    installer::Installer tx;
    if (!open_installer(tx)) return status_only(1);
    for (const installer::Row &row : tx.list()) {
        std::string deps;
        for (const std::string &d : row.deps) deps += (deps.empty() ? "" : ",") + d;
        const char *state = row.linked == row.to_link ? "linked"
                            : row.linked == 0         ? "not linked"
                                                      : "partly linked";
        std::printf("%d %s depends: %s entries: %u %s\n", row.id, row.swid.c_str(),
                    deps.empty() ? "-" : deps.c_str(), row.entries, state);
    }
    return status_only(0);
}

Outcome cmd_verify(const Parsed &p, std::string *) {
    installer::Installer tx;
    if (!open_installer(tx)) return status_only(1);
    const std::vector<std::string> problems = tx.verify(p.positional);
    for (const std::string &line : problems) std::printf("%s\n", line.c_str());
    return status_only(problems.empty() ? 0 : 1);
}

Outcome cmd_recover(const Parsed &, std::string *) {
    installer::Installer tx;
    if (!open_installer(tx)) return status_only(1);
    if (tx.recovered().empty()) std::printf("recover: nothing to do\n");
    return status_only(0);
}

}  // namespace pluginctl

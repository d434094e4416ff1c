// The real-package table: the largest image that make real-packages made (bench/run copies it
// to OUT/real.img), extracted, linked and unlinked by the library against the path floor and
// stow on the same tree, in the same rounds.
#include "bench/real.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "bench/common.h"
#include "bench/floor.h"
#include "platform/img.h"
#include "plugin_intn.h"
#include "tools/sandbox/sandbox.h"

namespace bench {
namespace {

constexpr char kPlugin[] = "/velm/plugin/real";
constexpr char kManifest[] = "/velm/real.manifest";

// The manifest's entries ("./usr/bin/x", "./usr/"), without the plugin's own "./".
std::vector<std::string> entries(const char *manifest) {
    std::vector<std::string> out;
    std::ifstream in(manifest);
    for (std::string line; std::getline(in, line);)
        if (line.size() > 2 && line.compare(0, 2, "./") == 0) out.push_back(line.substr(1));
    return out;
}

// The highest directories of the tree that the root does not have yet: what a link makes and
// what is removed between rounds.
std::set<std::string> new_tops(const std::vector<std::string> &names) {
    std::set<std::string> tops;
    struct stat st;
    for (const std::string &name : names) {
        std::string top;
        for (std::size_t slash = 1; (slash = name.find('/', slash)) != std::string::npos; ++slash) {
            top = name.substr(0, slash);
            if (::lstat(top.c_str(), &st) != 0) break;
            top.clear();
        }
        if (!top.empty()) tops.insert(top);
    }
    return tops;
}

// Removes what a link made: the links (some sit in directories the root had) and the tops.
void clear(const std::vector<std::string> &names, const std::set<std::string> &tops) {
    for (const std::string &name : names)
        if (name.back() != '/') ::unlink(name.c_str());
    for (const std::string &top : tops) remove_tree(top);
}

// Whether every non-directory entry is a symbolic link at its name (linked) or none is there.
bool linked(const std::vector<std::string> &names, bool want) {
    struct stat st;
    for (const std::string &name : names) {
        if (name.back() == '/') continue;
        const bool link = ::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if (link != want) return false;
    }
    return true;
}

std::string cell(double t) { return t < 0 ? "failed" : fmt_seconds(t); }
std::string ratio(double a, double b) { return a < 0 || b <= 0 ? "-" : fmt_ratio(a / b); }

using Medians = std::map<std::string, double>;
double at(const Medians &m, const char *k) { return m.count(k) ? m.at(k) : -1.0; }

// Extraction of the image by the library and by tar over the same stream, in rounds.
Medians extract_medians(const std::string &image, int reps) {
    const std::string extract_dir = "/velm/real-x", tar_dir = "/velm/real-t";
    int32_t status = 0;
    img_handle *h = img_open(image.c_str(), &status);
    const unsigned block = h && status == 0 ? h->block_size : 512;
    if (h) img_close(h);
    Contenders ex = {
        {"library",
         [&] {
             remove_tree(extract_dir);
             sandbox::mkdir_p(extract_dir);
             plugin_rc_t rc = PLUGIN_OK;
             const double t = timed_quiet(
                 [&] { rc = plugin_extract_image(image.c_str(), extract_dir.c_str(), kManifest); });
             return rc == PLUGIN_OK ? t : -1;
         }},
        {"tar",
         [&] {
             remove_tree(tar_dir);
             sandbox::mkdir_p(tar_dir);
             // The floor of an extraction: tar over the same stream, the header block skipped.
             return run_peer({"sh", "-c",
                              "tail -c +" + std::to_string(block + 1) + " '" + image +
                                  "' | tar -xzf - -C " + tar_dir});
         }},
    };
    const Medians m = rounds(reps, ex);
    remove_tree(tar_dir);
    remove_tree(extract_dir);
    return m;
}

// Linking (unlinking == false) or unlinking the extracted plugin's names by the floor, the
// library and stow (when there), in rounds.
Medians link_medians(const std::vector<std::string> &names, bool unlinking, bool stow, int reps) {
    const std::set<std::string> tops = new_tops(names);
    const std::vector<std::string> stow_at = {"stow", "--no-folding", "-d", "/velm/plugin", "-t",
                                              "/",    "real"};
    // One timed run of fn on a root cleared of the tree (and linked first, untimed, when
    // unlinking: each unlinks what its own link made, stow -D takes only stow's relative links);
    // -1 unless every link is there (linking) or gone.
    auto round = [&](const char *who, const std::function<bool()> &fn) {
        clear(names, tops);
        if (unlinking)
            timed_quiet(
                [&] { who[0] == 's' ? run_peer(stow_at) : floor_link(kManifest, kPlugin); });
        quiet_stderr();
        const double t0 = now();
        const bool done = fn();
        const double t = now() - t0;
        restore_stderr();
        const bool ok = done && linked(names, !unlinking);
        if (!ok) progress("  %s: wrong result\n", who);
        return ok ? t : -1;
    };
    Contenders cs = {
        {"floor",
         [&] {
             return round("floor", [&] {
                 return (unlinking ? floor_unlink : floor_link)(kManifest, kPlugin) == 0;
             });
         }},
        {"library", [&] {
             return round("library", [&] {
                 return (unlinking ? plugin_unlink_from_exec_path : plugin_link_to_exec_path)(
                            kManifest, nullptr, kPlugin) == PLUGIN_OK;
             });
         }}};
    std::vector<std::string> stow_cmd = stow_at;
    if (unlinking) stow_cmd[1] = "-D";
    if (stow)
        cs.push_back({"stow", [&] {
                          return round(unlinking ? "stow -D" : "stow",
                                       [&] { return run_peer(stow_cmd) >= 0; });
                      }});
    const Medians m = rounds(reps, cs);
    clear(names, tops);
    return m;
}

}  // namespace

void bench_real(const std::string &out, int reps) {
    const std::string image = out + "/real.img";
    struct stat st;
    if (::stat(image.c_str(), &st) != 0) {
        std::printf(
            "\n(real-package table skipped: no %s; make real-packages makes the images "
            "and bench/run copies the largest)\n",
            image.c_str());
        return;
    }
    const uint64_t image_kib = static_cast<uint64_t>(st.st_size) / 1024;
    progress("real: %s\n", image.c_str());
    const bool stow = std::system("command -v stow >/dev/null 2>&1") == 0;
    const Medians me = extract_medians(image, reps);
    remove_tree(kPlugin);
    sandbox::mkdir_p(kPlugin);
    const bool extracted =
        timed_quiet([&] { plugin_extract_image(image.c_str(), kPlugin, kManifest); }) >= 0 &&
        ::stat(kManifest, &st) == 0;
    // Stow skips names of its default ignore list (.gitignore, README*, ...) unless the package
    // brings its own list: this one ignores only itself, so stow links every entry too.
    std::ofstream(std::string(kPlugin) + "/.stow-local-ignore") << "^/\\.stow-local-ignore$\n";
    const std::vector<std::string> names = entries(kManifest);
    Medians ml, mu;
    if (extracted) ml = link_medians(names, false, stow, reps);
    if (extracted) mu = link_medians(names, true, stow, reps);
    remove_tree(kPlugin);
    ::unlink(kManifest);
    Table t("The largest real package (" + fmt_count(names.size()) + " entries, image " +
                fmt_count(image_kib) +
                " KiB): the library against the path floor (tar for the extraction, the bare "
                "system calls for link and unlink) and stow --no-folding, medians of " +
                std::to_string(reps) + " rounds",
            {"step", "floor", "library", "library / floor", "stow", "stow / library"});
    t.row({"extract", cell(at(me, "tar")), cell(at(me, "library")),
           ratio(at(me, "library"), at(me, "tar")), "-", "-"});
    t.row({"link", cell(at(ml, "floor")), cell(at(ml, "library")),
           ratio(at(ml, "library"), at(ml, "floor")), stow ? cell(at(ml, "stow")) : "no stow",
           ratio(at(ml, "stow"), at(ml, "library"))});
    t.row({"unlink", cell(at(mu, "floor")), cell(at(mu, "library")),
           ratio(at(mu, "library"), at(mu, "floor")), stow ? cell(at(mu, "stow")) : "no stow",
           ratio(at(mu, "stow"), at(mu, "library"))});
    t.print(stdout);
}

}  // namespace bench

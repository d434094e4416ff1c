// The installer's table: pluginctl install and remove of one plugin of many
// entries against the sum of the library calls they make, made by hand in
// one process (no journal, no checks, no lock), and against dpkg -i and -r of
// a .deb of the same tree into a root of its own (--root, --admindir), the
// tool a user would otherwise reach for.  dpkg copies the files where the
// installer extracts them once and links them.
#include "bench/install.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "bench/common.h"
#include "bench/gen.h"
#include "platform/srg.h"
#include "plugin_intn.h"
#include "tools/sandbox/sandbox.h"

namespace bench {
namespace {

constexpr char kImage[] = "/tmp/ins.img";
constexpr char kSwid[] = "vendor.bench-install.swid";
constexpr char kDpkgRoot[] = "/tmp/dpkg-root";

// A .deb of the tree at /tmp/ins-src (/tmp/ins.deb) and an empty dpkg database in kDpkgRoot;
// false when dpkg-deb is not there or fails.
bool make_deb() {
    const std::string script =
        "set -e; rm -rf /tmp/ins-deb " + std::string(kDpkgRoot) +
        "; cp -a /tmp/ins-src /tmp/ins-deb; mkdir /tmp/ins-deb/DEBIAN; printf "
        "'Package: bench-install\\nVersion: 1.0\\nArchitecture: all\\nMaintainer: bench "
        "<bench@localhost>\\nDescription: the installer benchmark tree\\n' "
        ">/tmp/ins-deb/DEBIAN/control; dpkg-deb --root-owner-group -Zgzip --build /tmp/ins-deb "
        "/tmp/ins.deb; rm -rf /tmp/ins-deb; mkdir -p " +
        kDpkgRoot + "/var/lib/dpkg/info " + kDpkgRoot + "/var/lib/dpkg/updates " + kDpkgRoot +
        "/var/lib/dpkg/triggers; touch " + kDpkgRoot + "/var/lib/dpkg/status";
    return run_peer({"sh", "-c", script}) >= 0;
}
double dpkg(const char *what, const char *arg) {
    const std::string root = kDpkgRoot;
    return run_peer({"dpkg", "--root=" + root, "--admindir=" + root + "/var/lib/dpkg",
                     "--log=/dev/null", what, arg});
}

// The road by hand: record, id, directory, extraction, record file, link; and back.
double by_hand_install() {
    const double t0 = now();
    quiet_stderr();
    srg_record *record = nullptr;
    bool ok = plugin_extract_srg(kImage, &record) == PLUGIN_OK;
    plugin_swid_map *map = nullptr;
    if (plugin_read_swid_map("/velm/hand/swid_map", &map) != PLUGIN_OK)
        map = plugin_swid_map_alloc(8, 256);
    int32_t id = plugin_swid_map_get_id(map, kSwid);
    if (id < 0) id = plugin_swid_map_append(&map, kSwid);
    ok = ok && plugin_write_swid_map("/velm/hand/swid_map", map) == PLUGIN_OK;
    const std::string dir = "/velm/plugin/" + std::to_string(id);
    ok = ok && ::mkdir(dir.c_str(), 0755) == 0 &&
         plugin_extract_image(kImage, dir.c_str(), "/velm/hand/manifest") == PLUGIN_OK &&
         plugin_save_sro(id, record) == PLUGIN_OK &&
         plugin_link_to_exec_path("/velm/hand/manifest", nullptr, dir.c_str()) == PLUGIN_OK;
    restore_stderr();
    std::free(record);
    plugin_swid_map_free(map);
    return ok ? now() - t0 : -1;
}

double by_hand_remove() {
    const double t0 = now();
    quiet_stderr();
    plugin_swid_map *map = nullptr;
    bool ok = plugin_read_swid_map("/velm/hand/swid_map", &map) == PLUGIN_OK;
    const int32_t id = plugin_swid_map_get_id(map, kSwid);
    const std::string dir = "/velm/plugin/" + std::to_string(id);
    ok = ok && plugin_unlink_from_exec_path("/velm/hand/manifest", nullptr, dir.c_str()) == 0 &&
         plugin_cleanup_sro(id) == PLUGIN_OK && plugin_rmdir(dir.c_str()) == PLUGIN_OK &&
         ::unlink("/velm/hand/manifest") == 0;
    restore_stderr();
    plugin_swid_map_free(map);
    return ok ? now() - t0 : -1;
}

// CPU seconds (user + system) of this process and of its waited-for children.
double cpu_all() {
    rusage self;
    getrusage(RUSAGE_SELF, &self);
    return children_cpu() + static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
           static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1e-6;
}

// Runs fn and files its seconds under what, its CPU seconds under what + " cpu".
void measure(std::map<std::string, std::vector<double>> &s, const std::string &what,
             const std::function<double()> &fn) {
    const double c0 = cpu_all();
    s[what].push_back(fn());
    s[what + " cpu"].push_back(cpu_all() - c0);
}

// The wall and CPU tables of the medians m.
void print_tables(std::map<std::string, double> &m, std::size_t n, bool deb, bool ok) {
    auto cell = [&](const char *k) { return deb || k[0] != 'd' ? fmt_seconds(m[k]) : "-"; };
    Table t("Installing and removing a plugin of " + fmt_count(n) +
                " entries: pluginctl install/remove (a process each: lock, journal, archive and "
                "conflict checks, syncs; the archive check alone is pluginctl check's time, a "
                "process of its own) against the library calls by hand in one process, and "
                "dpkg -i/-r of a .deb of the same tree into a root of its own (dpkg copies the "
                "files; the installer extracts them once and links them), medians",
            {"install by hand", "pluginctl install", "of which check", "ratio", "dpkg -i",
             "remove by hand", "pluginctl remove", "ratio", "dpkg -r", "all ran"});
    t.row({fmt_seconds(m["hand install"]), fmt_seconds(m["ctl install"]),
           fmt_seconds(m["ctl check"]), fmt_ratio(m["ctl install"] / m["hand install"]),
           cell("dpkg install"), fmt_seconds(m["hand remove"]), fmt_seconds(m["ctl remove"]),
           fmt_ratio(m["ctl remove"] / m["hand remove"]), cell("dpkg remove"),
           ok ? "yes" : "**NO**"});
    t.print(stdout);
    Table tc("The same, CPU seconds (user + system, the processes each ran included), medians",
             {"install by hand", "pluginctl install", "ratio", "dpkg -i", "remove by hand",
              "pluginctl remove", "ratio", "dpkg -r"});
    tc.row({fmt_seconds(m["hand install cpu"]), fmt_seconds(m["ctl install cpu"]),
            fmt_ratio(m["ctl install cpu"] / m["hand install cpu"]), cell("dpkg install cpu"),
            fmt_seconds(m["hand remove cpu"]), fmt_seconds(m["ctl remove cpu"]),
            fmt_ratio(m["ctl remove cpu"] / m["hand remove cpu"]), cell("dpkg remove cpu")});
    tc.print(stdout);
}

}  // namespace

InstallBar bench_install(const std::string &tools, int reps, bool quick) {
    const std::size_t n = quick ? 2000 : 10000;
    progress("install: %zu entries\n", n);
    PluginTree tree = make_tree(n, 77);
    remove_tree("/tmp/ins-src");
    sandbox::mkdir_p("/tmp/ins-src");
    sandbox::mkdir_p("/velm/hand");
    void *r = make_record(kSwid, {});
    FILE *f = std::fopen("/tmp/ins.sro", "wb");
    if (!materialize(tree, "/tmp/ins-src", true, 5) || f == nullptr ||
        std::fwrite(r, 1, srg_size(static_cast<srg_record *>(r)), f) == 0 || std::fclose(f) != 0 ||
        run_peer({tools + "/mkplugin", "--record", "/tmp/ins.sro", "-o", kImage, "/tmp/ins-src"}) <
            0) {
        progress("cannot make the install image\n");
        std::exit(1);
    }
    std::free(r);
    const bool deb = make_deb();
    if (!deb) progress("install: no .deb made; dpkg not measured\n");
    const std::string ctl = tools + "/pluginctl";
    std::map<std::string, std::vector<double>> s;
    bool ok = true;
    for (int round = 0; round < reps; ++round) {
        // Round r starts at contender r modulo 3, so none always goes first.
        for (int k = 0; k < 3; ++k) {
            const int who = (k + round) % 3;
            if (who == 0) {
                measure(s, "ctl check", [&] { return run_peer({ctl, "check", kImage}); });
                measure(s, "ctl install", [&] { return run_peer({ctl, "install", kImage}); });
                measure(s, "ctl remove", [&] { return run_peer({ctl, "remove", kSwid}); });
            } else if (who == 1) {
                measure(s, "hand install", by_hand_install);
                measure(s, "hand remove", by_hand_remove);
            } else if (deb) {
                measure(s, "dpkg install", [] { return dpkg("-i", "/tmp/ins.deb"); });
                measure(s, "dpkg remove", [] { return dpkg("-r", "bench-install"); });
            }
        }
    }
    for (const auto &[what, samples] : s)
        for (double t : samples) ok = ok && (t >= 0 || what.find("cpu") != std::string::npos);
    std::map<std::string, double> m;
    for (const auto &[what, samples] : s) m[what] = median(samples);
    print_tables(m, n, deb, ok);
    const double ratio =
        (m["ctl install"] + m["ctl remove"]) / (m["hand install"] + m["hand remove"]);
    return {"installer install + remove <= 1.10 x the library calls by hand", fmt_ratio(ratio),
            ok && ratio <= 1.10};
}

}  // namespace bench

// The installer's table: pluginctl install and remove of one plugin of many
// entries against the sum of the library calls they make, made by hand in
// one process (no journal, no checks, no lock).  dpkg copies files where the
// installer links them; it is not run here.
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

namespace pib {
namespace {

constexpr char kImage[] = "/tmp/ins.img";
constexpr char kSwid[] = "vendor.bench-install.swid";

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

}  // namespace

InstallBar bench_install(const std::string &tools, int reps, bool quick) {
    const std::size_t n = quick ? 2000 : 10000;
    progress("install: %zu entries\n", n);
    PluginTree tree = make_tree(n, 77);
    remove_tree("/tmp/ins-src");
    pit::mkdir_p("/tmp/ins-src");
    pit::mkdir_p("/velm/hand");
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
    const std::string ctl = tools + "/pluginctl";
    std::map<std::string, std::vector<double>> s;
    bool ok = true;
    for (int round = 0; round < reps; ++round) {
        // Alternate which goes first.
        for (int k = 0; k < 2; ++k) {
            if ((k + round) % 2 == 0) {
                measure(s, "ctl install", [&] { return run_peer({ctl, "install", kImage}); });
                measure(s, "ctl remove", [&] { return run_peer({ctl, "remove", kSwid}); });
            } else {
                measure(s, "hand install", by_hand_install);
                measure(s, "hand remove", by_hand_remove);
            }
        }
    }
    for (const auto &[what, samples] : s)
        for (double t : samples) ok = ok && (t >= 0 || what.find("cpu") != std::string::npos);
    std::map<std::string, double> m;
    for (const auto &[what, samples] : s) m[what] = median(samples);
    Table t("Installing and removing a plugin of " + fmt_count(n) +
                " entries: pluginctl install/remove (a process each: lock, journal, archive and "
                "conflict checks, syncs) against the library calls by hand in one process, medians "
                "(dpkg would copy the files; the installer links them; dpkg not measured)",
            {"install by hand", "pluginctl install", "ratio", "remove by hand", "pluginctl remove",
             "ratio", "all ran"});
    t.row({fmt_seconds(m["hand install"]), fmt_seconds(m["ctl install"]),
           fmt_ratio(m["ctl install"] / m["hand install"]), fmt_seconds(m["hand remove"]),
           fmt_seconds(m["ctl remove"]), fmt_ratio(m["ctl remove"] / m["hand remove"]),
           ok ? "yes" : "**NO**"});
    t.print(stdout);
    Table tc("The same, CPU seconds (user + system, the processes each ran included), medians",
             {"install by hand", "pluginctl install", "ratio", "remove by hand", "pluginctl remove",
              "ratio"});
    tc.row({fmt_seconds(m["hand install cpu"]), fmt_seconds(m["ctl install cpu"]),
            fmt_ratio(m["ctl install cpu"] / m["hand install cpu"]),
            fmt_seconds(m["hand remove cpu"]), fmt_seconds(m["ctl remove cpu"]),
            fmt_ratio(m["ctl remove cpu"] / m["hand remove cpu"])});
    tc.print(stdout);
    const double ratio =
        (m["ctl install"] + m["ctl remove"]) / (m["hand install"] + m["hand remove"]);
    return {"installer install + remove <= 1.10 x the library calls by hand", fmt_ratio(ratio),
            ok && ratio <= 1.10};
}

}  // namespace pib

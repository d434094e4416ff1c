// pi_bench: the benchmark driver.  It enters the private sandbox (a fresh
// tmpfs as its root, as the test binaries do), generates its inputs there,
// runs every contender of a comparison side by side in the same rounds, and
// prints one markdown table per comparison (medians of the rounds) and the
// bars of the benchmark issue.  Data for the growth curves is written to the
// output directory (gnuplot draws them, see bench/run).
//
//   pi_bench --out DIR --tools DIR [--reps N] [--quick] [link|order|extract|swid|install|real]...
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/common.h"
#include "bench/floor.h"
#include "bench/gen.h"
#include "bench/install.h"
#include "bench/real.h"
#include "bench/order_ref.h"
#include "platform/img.h"
#include "platform/srg.h"
#include "plugin_intn.h"
#include "tools/sandbox/sandbox.h"

using namespace bench;

namespace {

struct Options {
    std::string out;
    std::string tools;
    int reps = 5;
    bool quick = false;
    std::vector<std::string> sections;
};
Options g_opt;

struct Bar {
    std::string what;
    std::string measured;
    bool met;
};
std::vector<Bar> g_bars;

void bar(const std::string &what, const std::string &measured, bool met) {
    g_bars.push_back({what, measured, met});
}

FILE *data_file(const char *name) {
    std::string path = g_opt.out + "/" + name;
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) {
        progress("cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return f;
}

// ---------------------------------------------------------------------------
// Linking and unlinking

constexpr const char kLinkTop[] = "/pkg";

bool link_ok(const PluginTree &tree) {
    // Every non-directory entry is now a symbolic link at its link name.
    struct stat st;
    for (const auto &e : tree.entries) {
        std::string l = "/" + e.name;
        if (::lstat(l.c_str(), &st) != 0) return false;
        if (e.type != 'd' && !S_ISLNK(st.st_mode)) return false;
    }
    return true;
}

bool unlink_ok(const PluginTree &tree) {
    struct stat st;
    for (const auto &e : tree.entries) {
        std::string l = "/" + e.name;
        if (e.type != 'd' && ::lstat(l.c_str(), &st) == 0) return false;
    }
    return true;
}

// A contender's seconds, or -1 with a line when its result is wrong.
double checked(double t, bool ok, const char *who) {
    if (!ok) {
        progress("  %s: wrong result\n", who);
        return -1.0;
    }
    return t;
}

// One size of the link comparison: the generated plugin, its manifest and the sizes' peers.
struct LinkCase {
    const PluginTree &tree;
    std::string pkgname, plugin, manifest;
    bool with_stow;
};

// Medians of linking the case's plugin into an empty root: floor, lib, cp (and stow).
std::map<std::string, double> time_linking(const LinkCase &c) {
    const char *mf = c.manifest.c_str(), *pp = c.plugin.c_str();
    Contenders lc = {
        {"floor",
         [&] {
             remove_tree(kLinkTop);
             int f = 0;
             double t = timed_quiet([&] { f = floor_link(mf, pp); });
             return checked(t, f == 0 && link_ok(c.tree), "floor link");
         }},
        {"lib",
         [&] {
             remove_tree(kLinkTop);
             plugin_rc_t rc = 0;
             double t = timed_quiet([&] { rc = plugin_link_to_exec_path(mf, nullptr, pp); });
             return checked(t, rc == 0 && link_ok(c.tree), "plugin_link_to_exec_path");
         }},
        {"cp",
         [&] {
             remove_tree(kLinkTop);
             double t = run_peer({"cp", "-as", c.plugin + "/pkg", "/"});
             return checked(t, t >= 0 && link_ok(c.tree), "cp -as");
         }},
    };
    if (c.with_stow)
        lc.push_back({"stow", [&] {
                          remove_tree(kLinkTop);
                          double t = run_peer(
                              {"stow", "--no-folding", "-d", "/velm/plugin", "-t", "/", c.pkgname});
                          return checked(t, t >= 0 && link_ok(c.tree), "stow");
                      }});
    auto m = rounds(g_opt.reps, lc);
    remove_tree(kLinkTop);
    return m;
}

// Medians of unlinking the case's plugin: floor_u, lib_u (and stow_D).
std::map<std::string, double> time_unlinking(const LinkCase &c) {
    const char *mf = c.manifest.c_str(), *pp = c.plugin.c_str();
    Contenders uc = {
        {"floor_u",
         [&] {
             remove_tree(kLinkTop);
             timed_quiet([&] { floor_link(mf, pp); });
             int f = 0;
             double t = timed_quiet([&] { f = floor_unlink(mf, pp); });
             return checked(t, f == 0 && unlink_ok(c.tree), "floor unlink");
         }},
        {"lib_u",
         [&] {
             remove_tree(kLinkTop);
             timed_quiet([&] { floor_link(mf, pp); });
             plugin_rc_t rc = 0;
             double t = timed_quiet([&] { rc = plugin_unlink_from_exec_path(mf, nullptr, pp); });
             return checked(t, rc == 0 && unlink_ok(c.tree), "plugin_unlink_from_exec_path");
         }},
    };
    if (c.with_stow)
        uc.push_back(
            {"stow_D", [&] {
                 remove_tree(kLinkTop);
                 if (run_peer(
                         {"stow", "--no-folding", "-d", "/velm/plugin", "-t", "/", c.pkgname}) < 0)
                     return -1.0;
                 double t = run_peer({"stow", "-D", "-d", "/velm/plugin", "-t", "/", c.pkgname});
                 return checked(t, t >= 0 && unlink_ok(c.tree), "stow -D");
             }});
    auto m = rounds(g_opt.reps, uc);
    remove_tree(kLinkTop);
    return m;
}

// Generates the plugin of n entries and its manifest, times linking and unlinking it, and
// removes it again; the medians of both.
std::map<std::string, double> time_link_size(std::size_t n, bool with_stow) {
    progress("link/unlink: N = %zu\n", n);
    PluginTree tree = make_tree(n, 1000 + n);
    const std::string pkgname = std::to_string(n);
    LinkCase c{tree, pkgname, "/velm/plugin/" + pkgname, "/velm/manifest-" + pkgname + ".log",
               with_stow};
    sandbox::mkdir_p(c.plugin);
    if (!materialize(tree, c.plugin, false, n) || !write_manifest(tree, c.manifest)) {
        progress("cannot generate the tree of %zu entries\n", n);
        std::exit(1);
    }
    auto m = time_linking(c);
    auto mu = time_unlinking(c);
    m.insert(mu.begin(), mu.end());
    remove_tree(c.plugin);
    ::remove(c.manifest.c_str());
    return m;
}

// The link bars over the medians of every size.
void link_bars(std::map<std::size_t, std::map<std::string, double>> &all,
               const std::vector<std::size_t> &sizes, const std::vector<std::size_t> &stow_sizes) {
    const std::size_t big = sizes.back(), mid = g_opt.quick ? sizes.front() : 10000;
    auto &b = all[big];
    bar("link <= 1.25 x floor at N = " + fmt_count(big), fmt_ratio(b["lib"] / b["floor"]),
        b["lib"] / b["floor"] <= 1.25);
    bar("unlink <= 1.25 x floor at N = " + fmt_count(big), fmt_ratio(b["lib_u"] / b["floor_u"]),
        b["lib_u"] / b["floor_u"] <= 1.25);
    if (!stow_sizes.empty()) {
        const std::size_t peer = stow_sizes.back();
        auto &p = all[peer];
        bar("link >= 4 x faster than stow (N = " + fmt_count(peer) + ")",
            fmt_ratio(p["stow"] / p["lib"]), p["stow"] / p["lib"] >= 4);
        bar("unlink >= 4 x faster than stow -D (N = " + fmt_count(peer) + ")",
            fmt_ratio(p["stow_D"] / p["lib_u"]), p["stow_D"] / p["lib_u"] >= 4);
    }
    double worst_cp = 0;
    for (auto &[n, m] : all) worst_cp = std::max(worst_cp, m["lib"] / m["cp"]);
    bar("link / cp -as <= 1.0 (worst N)", fmt_ratio(worst_cp), worst_cp <= 1.0);
    bar("link growth " + fmt_count(mid) + " -> " + fmt_count(big) + " <= 11 x",
        fmt_ratio(all[big]["lib"] / all[mid]["lib"]), all[big]["lib"] / all[mid]["lib"] <= 11);
    bar("unlink growth " + fmt_count(mid) + " -> " + fmt_count(big) + " <= 11 x",
        fmt_ratio(all[big]["lib_u"] / all[mid]["lib_u"]),
        all[big]["lib_u"] / all[mid]["lib_u"] <= 11);
}

void bench_link() {
    std::vector<std::size_t> sizes = {1000, 10000, 20000, 100000};
    std::vector<std::size_t> stow_sizes = {1000, 10000, 20000};
    if (g_opt.quick) {
        sizes = {1000, 5000};
        stow_sizes = {1000};
    }
    if (std::system("command -v stow >/dev/null 2>&1") != 0) {
        std::printf("\n(stow comparisons skipped: no stow; Debian package stow)\n");
        stow_sizes.clear();
    }
    Table tl("Linking N entries into an empty root (medians; ratios of medians of the same rounds)",
             {"N", "floor", "plugin_link_to_exec_path", "library / floor", "cp -as",
              "library / cp -as", "stow --no-folding", "stow / library"});
    Table tu("Unlinking N entries (medians; ratios of medians of the same rounds)",
             {"N", "floor", "plugin_unlink_from_exec_path", "library / floor", "stow -D",
              "stow -D / library"});
    FILE *dat = data_file("link.dat");
    std::fprintf(dat, "# N floor_link lib_link cp_as stow floor_unlink lib_unlink stow_D\n");
    std::map<std::size_t, std::map<std::string, double>> all;

    for (std::size_t n : sizes) {
        const bool with_stow =
            std::find(stow_sizes.begin(), stow_sizes.end(), n) != stow_sizes.end();
        auto m = time_link_size(n, with_stow);
        all[n] = m;
        double stow = with_stow ? m["stow"] : 0, stow_d = with_stow ? m["stow_D"] : 0;
        tl.row({fmt_count(n), fmt_seconds(m["floor"]), fmt_seconds(m["lib"]),
                fmt_ratio(m["lib"] / m["floor"]), fmt_seconds(m["cp"]),
                fmt_ratio(m["lib"] / m["cp"]), with_stow ? fmt_seconds(stow) : "-",
                with_stow ? fmt_ratio(stow / m["lib"]) : "-"});
        tu.row({fmt_count(n), fmt_seconds(m["floor_u"]), fmt_seconds(m["lib_u"]),
                fmt_ratio(m["lib_u"] / m["floor_u"]), with_stow ? fmt_seconds(stow_d) : "-",
                with_stow ? fmt_ratio(stow_d / m["lib_u"]) : "-"});
        std::fprintf(dat, "%zu %.6f %.6f %.6f %s %.6f %.6f %s\n", n, m["floor"], m["lib"], m["cp"],
                     with_stow ? std::to_string(stow).c_str() : "NaN", m["floor_u"], m["lib_u"],
                     with_stow ? std::to_string(stow_d).c_str() : "NaN");
        std::fflush(dat);
    }
    std::fclose(dat);
    tl.print(stdout);
    tu.print(stdout);
    link_bars(all, sizes, stow_sizes);
}

// ---------------------------------------------------------------------------
// Load order

std::string slurp(const std::string &path) {
    std::string s;
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return s;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

void bench_order() {
    std::vector<std::size_t> sizes = {250, 500, 1000, 2000};
    if (g_opt.quick) sizes = {250, 500};
    Table t("Load order of N plugins, about 3 dependencies each (medians; stderr to /dev/null)",
            {"N", "transcription (count^3)", "plugin_find_load_order", "speed-up",
             "same order and lines"});
    FILE *dat = data_file("order.dat");
    std::fprintf(dat, "# N transcription library\n");
    std::map<std::size_t, std::map<std::string, double>> all;
    for (std::size_t n : sizes) {
        progress("order: N = %zu\n", n);
        PluginSet set = make_plugin_set(n, 3.0, 77 + n);
        std::vector<srg_record *> recs;
        for (std::size_t i = 0; i < n; ++i)
            recs.push_back(static_cast<srg_record *>(make_record(set.swids[i], set.deps[i])));
        std::vector<uint32_t> o_lib(n), o_ref(n);
        const uint32_t cnt = static_cast<uint32_t>(n);

        // Lines and order, once, compared byte for byte.
        plugin_rc_t rc_lib = 0, rc_ref = 0;
        quiet_stderr("/tmp/order-lib.txt");
        rc_lib = plugin_find_load_order(cnt, recs.data(), o_lib.data());
        restore_stderr();
        quiet_stderr("/tmp/order-ref.txt");
        rc_ref = ref_find_load_order(cnt, recs.data(), o_ref.data());
        restore_stderr();
        bool same = rc_lib == 0 && rc_ref == 0 && o_lib == o_ref &&
                    slurp("/tmp/order-lib.txt") == slurp("/tmp/order-ref.txt");
        const std::vector<uint32_t> expected = o_ref;

        std::vector<std::pair<std::string, std::function<double()>>> cs = {
            {"ref",
             [&] {
                 std::fill(o_ref.begin(), o_ref.end(), 0xFFFFFFFFu);
                 double s = timed_quiet(
                     [&] { rc_ref = ref_find_load_order(cnt, recs.data(), o_ref.data()); });
                 if (rc_ref != 0 || o_ref != expected) same = false;
                 return s;
             }},
            {"lib",
             [&] {
                 std::fill(o_lib.begin(), o_lib.end(), 0xFFFFFFFFu);
                 double s = timed_quiet(
                     [&] { rc_lib = plugin_find_load_order(cnt, recs.data(), o_lib.data()); });
                 if (rc_lib != 0 || o_lib != expected) same = false;
                 return s;
             }},
        };
        auto m = rounds(g_opt.reps, cs);
        all[n] = m;
        t.row({fmt_count(n), fmt_seconds(m["ref"]), fmt_seconds(m["lib"]),
               fmt_ratio(m["ref"] / m["lib"]), same ? "yes" : "**NO**"});
        std::fprintf(dat, "%zu %.6f %.6f\n", n, m["ref"], m["lib"]);
        if (!same) bar("identical output at N = " + fmt_count(n), "differs", false);
        for (auto *r : recs) std::free(r);
    }
    std::fclose(dat);
    t.print(stdout);
    std::size_t a = g_opt.quick ? 250 : 1000, b = g_opt.quick ? 500 : 2000;
    bar("order >= 20 x faster than the transcription at N = " + fmt_count(a),
        fmt_ratio(all[a]["ref"] / all[a]["lib"]), all[a]["ref"] / all[a]["lib"] >= 20);
    bar("order growth " + fmt_count(a) + " -> " + fmt_count(b) + " <= 4.5 x",
        fmt_ratio(all[b]["lib"] / all[a]["lib"]), all[b]["lib"] / all[a]["lib"] <= 4.5);
}

// ---------------------------------------------------------------------------
// Extraction

std::size_t count_entries(const std::string &dir) {
    static std::size_t count;
    count = 0;
    nftw(
        dir.c_str(),
        [](const char *, const struct stat *, int, struct FTW *) {
            ++count;
            return 0;
        },
        64, FTW_PHYS);
    return count;
}

std::size_t count_lines(const std::string &path) {
    std::string s = slurp(path);
    return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n'));
}

// The inputs of the extraction: the tree at src, its record, the image made by mkplugin and
// the image's archive alone at tgz (without the header block).
void make_extract_inputs(const PluginTree &tree, const std::string &src, const std::string &img,
                         const std::string &tgz, const std::string &rec) {
    remove_tree(src);
    sandbox::mkdir_p(src);
    if (!materialize(tree, src, true, 99)) {
        progress("cannot generate the extraction tree\n");
        std::exit(1);
    }
    {
        void *r = make_record("vendor.bench-extract.swid", {});
        FILE *f = std::fopen(rec.c_str(), "wb");
        std::fwrite(r, 1, srg_size(static_cast<srg_record *>(r)), f);
        std::fclose(f);
        std::free(r);
    }
    if (run_peer({g_opt.tools + "/mkplugin", "--record", rec, "-o", img, src}) < 0) {
        progress("mkplugin failed\n");
        std::exit(1);
    }
    // The archive alone: the image without its header block.
    int32_t status = 0;
    img_handle *h = img_open(img.c_str(), &status);
    if (!h || status != 0) {
        progress("img_open failed: %x\n", static_cast<unsigned>(status));
        std::exit(1);
    }
    uint16_t block = h->block_size;
    img_close(h);
    std::string bytes = slurp(img);
    FILE *f = std::fopen(tgz.c_str(), "wb");
    std::fwrite(bytes.data() + block, 1, bytes.size() - block, f);
    std::fclose(f);
}

// What the extraction contenders measured: medians of seconds, CPU seconds of the processes
// each ran, and whether every one made the same tree of n + 1 entries.
struct ExtractRun {
    std::map<std::string, double> m;
    std::map<std::string, std::vector<double>> cpu;
    bool same = true;
};

ExtractRun time_extraction(std::size_t n, const std::string &img, const std::string &tgz) {
    const std::string dl = "/velm/x-lib", dt = "/velm/x-tar", log = "/velm/x-lib.log";
    ExtractRun x;
    auto tar = [&](const char *name, std::vector<std::string> argv) {
        return [&x, &dt, n, name, argv] {
            remove_tree(dt);
            sandbox::mkdir_p(dt);
            double c0 = children_cpu();
            double t = run_peer(argv);
            x.cpu[name].push_back(children_cpu() - c0);
            if (count_entries(dt) != n + 1) x.same = false;
            return t;
        };
    };
    Contenders cs = {
        {"tar", tar("tar", {"tar", "-xzf", tgz, "-C", dt})},
        {"tar_k", tar("tar_k", {"tar", "-xkPpmz", "-f", tgz, "-C", dt})},
        {"lib",
         [&] {
             remove_tree(dl);
             sandbox::mkdir_p(dl);
             plugin_rc_t rc = 0;
             double c0 = children_cpu();
             double t = timed_quiet(
                 [&] { rc = plugin_extract_image(img.c_str(), dl.c_str(), log.c_str()); });
             x.cpu["lib"].push_back(children_cpu() - c0);
             if (rc != 0 || count_entries(dl) != n + 1 || count_lines(log) != n + 1) x.same = false;
             return rc == 0 ? t : -1;
         }},
    };
    x.m = rounds(g_opt.reps, cs);
    remove_tree(dl);
    remove_tree(dt);
    return x;
}

void bench_extract() {
    std::size_t n = g_opt.quick ? 2000 : 10000;
    progress("extract: %zu entries\n", n);
    PluginTree tree = make_tree(n, 4242);
    const std::string src = "/velm/ext-src", img = "/velm/ext.img", tgz = "/velm/ext.tar.gz",
                      rec = "/velm/ext.sro";
    make_extract_inputs(tree, src, img, tgz, rec);
    struct stat st;
    ::stat(img.c_str(), &st);
    ExtractRun x = time_extraction(n, img, tgz);
    auto &m = x.m;
    Table t("Extraction of an image of " + fmt_count(n) + " entries (" + fmt_count(tree.files) +
                " files, " + fmt_count(tree.dirs) + " directories, " + fmt_count(tree.links) +
                " symbolic links; image " + std::to_string(st.st_size / 1024) + " KiB), medians",
            {"tar -xzf", "plugin_extract_image (with manifest)", "library / tar -xzf",
             "tar -xkPpmz (the library's flags, no dd, no manifest)", "library / tar -xkPpmz",
             "same tree"});
    t.row({fmt_seconds(m["tar"]), fmt_seconds(m["lib"]), fmt_ratio(m["lib"] / m["tar"]),
           fmt_seconds(m["tar_k"]), fmt_ratio(m["lib"] / m["tar_k"]), x.same ? "yes" : "**NO**"});
    t.print(stdout);
    Table tc("Extraction, CPU seconds (user + system) of the processes each contender ran, medians",
             {"tar -xzf", "plugin_extract_image", "tar -xkPpmz"});
    tc.row({fmt_seconds(median(x.cpu["tar"])), fmt_seconds(median(x.cpu["lib"])),
            fmt_seconds(median(x.cpu["tar_k"]))});
    tc.print(stdout);
    FILE *dat = data_file("extract.dat");
    std::fprintf(dat, "# entries tar_xzf library tar_xkPpmz\n%zu %.6f %.6f %.6f\n", n, m["tar"],
                 m["lib"], m["tar_k"]);
    std::fclose(dat);
    bar("extraction <= 1.10 x tar -xzf", fmt_ratio(m["lib"] / m["tar"]),
        m["lib"] / m["tar"] <= 1.10 && x.same);
}

// ---------------------------------------------------------------------------
// Software-id map

struct SwidRun {
    double lookups = 0, appends = 0, growing = 0;  // growing: the appends that grew the map
    bool ok = true;
};

SwidRun fill_map(const std::vector<std::string> &swids, std::size_t n, plugin_swid_map **out) {
    SwidRun r;
    plugin_swid_map *map = plugin_swid_map_alloc(16, 512);
    if (!map) {
        r.ok = false;
        return r;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char *s = swids[i].c_str();
        double t0 = now();
        int32_t id = plugin_swid_map_get_id(map, s);
        double t1 = now();
        plugin_swid_map *before = map;
        int32_t got = plugin_swid_map_append(&map, s);
        double t2 = now();
        r.lookups += t1 - t0;
        r.appends += t2 - t1;
        if (map != before) r.growing += t2 - t1;
        if (id >= 0 || got != static_cast<int32_t>(i)) r.ok = false;
    }
    if (out)
        *out = map;
    else
        plugin_swid_map_free(map);
    return r;
}

// The same appends without the lookups in between (whose scans of the whole
// map evict it from the caches): the map's own cost.
double appends_alone(const std::vector<std::string> &swids, std::size_t n, bool *ok) {
    plugin_swid_map *map = plugin_swid_map_alloc(16, 512);
    if (!map) {
        *ok = false;
        return -1;
    }
    double t0 = now();
    for (std::size_t i = 0; i < n; ++i)
        if (plugin_swid_map_append(&map, swids[i].c_str()) != static_cast<int32_t>(i)) *ok = false;
    double t = now() - t0;
    plugin_swid_map_free(map);
    return t;
}

// n distinct swids, the same every run.
std::vector<std::string> make_swids(std::size_t n) {
    std::vector<std::string> swids;
    Rng rng(5);
    char name[80];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "vendor.plugin-%08llx-%05zu.swid",
                      static_cast<unsigned long long>(rng.next() & 0xffffffffu), i);
        swids.push_back(name);
    }
    return swids;
}

// Medians of filling the map with the first n swids: total, lookups, appends, growing appends,
// appends alone.
std::array<double, 5> time_fill(const std::vector<std::string> &swids, std::size_t n, bool *ok) {
    std::vector<double> tot, lk, ap, gr, alone;
    for (int r = 0; r < g_opt.reps; ++r) {
        SwidRun run = fill_map(swids, n, nullptr);
        *ok = *ok && run.ok;
        tot.push_back(run.lookups + run.appends);
        lk.push_back(run.lookups);
        ap.push_back(run.appends);
        gr.push_back(run.growing);
        alone.push_back(appends_alone(swids, n, ok));
    }
    return {median(tot), median(lk), median(ap), median(gr), median(alone)};
}

// Writes and reads back the map of every swid, in rounds, and prints the table; the seconds of
// the round trip.  *ok: the map was filled; *same: every read gave the map back.
double swid_round_trip(const std::vector<std::string> &swids, bool *ok, bool *same) {
    plugin_swid_map *map = nullptr;
    SwidRun full = fill_map(swids, swids.size(), &map);
    *ok = *ok && full.ok && map;
    std::vector<double> w, rd;
    for (int r = 0; r < std::max(g_opt.reps, 11); ++r) {
        ::remove("/tmp/swid.map");
        double t0 = now();
        plugin_rc_t wrc = plugin_write_swid_map("/tmp/swid.map", map);
        double t1 = now();
        plugin_swid_map *back = nullptr;
        plugin_rc_t rrc = plugin_read_swid_map("/tmp/swid.map", &back);
        double t2 = now();
        w.push_back(t1 - t0);
        rd.push_back(t2 - t1);
        int32_t size = plugin_swid_map_size(map);
        if (wrc != 0 || rrc != 0 || !back ||
            std::memcmp(back, map, static_cast<std::size_t>(size)) != 0)
            *same = false;
        plugin_swid_map_free(back);
    }
    int32_t bytes = plugin_swid_map_size(map);
    plugin_swid_map_free(map);
    Table rt("Software-id map file round trip, " + fmt_count(swids.size()) + " swids (" +
                 fmt_count(static_cast<uint64_t>(bytes)) + " bytes), medians",
             {"plugin_write_swid_map", "plugin_read_swid_map", "round trip", "read back equal"});
    double trip = median(w) + median(rd);
    rt.row({fmt_seconds(median(w)), fmt_seconds(median(rd)), fmt_seconds(trip),
            *same ? "yes" : "**NO**"});
    rt.print(stdout);
    return trip;
}

void bench_swid() {
    std::vector<std::size_t> sizes = {4096, 8192, 16384, 32768, 65535};
    if (g_opt.quick) sizes = {4096, 8192};
    const std::vector<std::string> swids = make_swids(sizes.back());
    Table t("Software-id map: n distinct swids appended one by one, each looked up first (medians)",
            {"n", "total", "lookups (plugin_swid_map_get_id)", "appends (plugin_swid_map_append)",
             "of which growing appends", "appends alone (no lookups)", "total / total(n/2)",
             "appends / appends(n/2)", "alone / alone(n/2)"});
    FILE *dat = data_file("swid.dat");
    std::fprintf(dat, "# n total lookups appends growing_appends appends_alone\n");
    std::map<std::size_t, std::array<double, 5>> all;
    bool ok = true;
    for (std::size_t n : sizes) {
        progress("swid map: n = %zu\n", n);
        all[n] = time_fill(swids, n, &ok);
        std::fprintf(dat, "%zu %.6f %.6f %.6f %.6f %.6f\n", n, all[n][0], all[n][1], all[n][2],
                     all[n][3], all[n][4]);
    }
    for (std::size_t n : sizes) {
        std::size_t half = n == 65535 ? 32768 : n / 2;
        bool has = all.count(half);
        t.row({fmt_count(n), fmt_seconds(all[n][0]), fmt_seconds(all[n][1]), fmt_seconds(all[n][2]),
               fmt_seconds(all[n][3]), fmt_seconds(all[n][4]),
               has ? fmt_ratio(all[n][0] / all[half][0]) : "-",
               has ? fmt_ratio(all[n][2] / all[half][2]) : "-",
               has ? fmt_ratio(all[n][4] / all[half][4]) : "-"});
    }
    std::fclose(dat);
    t.print(stdout);
    bool same = true;
    const double trip = swid_round_trip(swids, &ok, &same);

    std::size_t big = sizes.back(), half = g_opt.quick ? sizes.front() : 32768;
    bar("swid map total(" + fmt_count(big) + ") <= 2.3 x total(" + fmt_count(half) + ")",
        fmt_ratio(all[big][0] / all[half][0]), all[big][0] / all[half][0] <= 2.3 && ok);
    bar("swid map appends(" + fmt_count(big) + ") <= 2.3 x appends(" + fmt_count(half) +
            "), outside the lookups",
        fmt_ratio(all[big][2] / all[half][2]), all[big][2] / all[half][2] <= 2.3 && ok);
    bar("swid map appends alone(" + fmt_count(big) + ") <= 2.3 x appends alone(" + fmt_count(half) +
            ")",
        fmt_ratio(all[big][4] / all[half][4]), all[big][4] / all[half][4] <= 2.3 && ok);
    bar("swid map round trip < 50 ms", fmt_seconds(trip), trip < 0.050 && same);
}

int usage() {
    std::fprintf(
        stderr,
        "usage: pi_bench --out DIR --tools DIR [--reps N] [--quick] [link|order|extract|swid|install|real]...\n");
    return 2;
}

// Reads the command line into g_opt; false for bad arguments.
bool parse_args(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--out" && i + 1 < argc)
            g_opt.out = argv[++i];
        else if (a == "--tools" && i + 1 < argc)
            g_opt.tools = argv[++i];
        else if (a == "--reps" && i + 1 < argc)
            g_opt.reps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--quick")
            g_opt.quick = true;
        else if (a == "link" || a == "order" || a == "extract" || a == "swid" || a == "install" ||
                 a == "real")
            g_opt.sections.push_back(a);
        else
            return false;
    }
    return !g_opt.out.empty() && !g_opt.tools.empty();
}

}  // namespace

int main(int argc, char **argv) {
    if (!parse_args(argc, argv)) return usage();
    if (g_opt.sections.empty())
        g_opt.sections = {"link", "order", "extract", "swid", "install", "real"};
    char real[PATH_MAX];
    if (!::realpath(g_opt.out.c_str(), real)) {
        std::fprintf(stderr, "pi_bench: no output directory %s\n", g_opt.out.c_str());
        return 1;
    }
    g_opt.out = real;
    if (::realpath(g_opt.tools.c_str(), real)) g_opt.tools = real;

    // The source and build trees are reachable in the sandbox; another
    // output directory is bound at its own path.  (Binding a directory
    // inside them first would keep them from being bound.)
    sandbox::SandboxOptions so;
    // The path floor and the library are timed on the same /usr as before; the real package
    // alone wants the whole copy-on-write root (it writes below the host's directories, and
    // stow refuses a directory that is a link), so it runs in a process of its own.
    so.mirrors = g_opt.sections != std::vector<std::string>{"real"};
    auto under = [](const std::string &path, const char *dir) {
        std::string d = dir;
        return path == d || path.compare(0, d.size() + 1, d + "/") == 0;
    };
    if (!under(g_opt.out, PI_SOURCE_DIR) && !under(g_opt.out, PI_BINARY_DIR))
        so.extra_binds.push_back(g_opt.out);
    std::string error;
    if (!sandbox::sandbox_enter(so, &error)) {
        std::fprintf(stderr, "pi_bench: cannot enter the sandbox: %s\n", error.c_str());
        return 1;
    }
    // The library's lines go to /dev/null while it is timed; keep the stream
    // unbuffered as a process's standard error is.
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    for (const auto &s : g_opt.sections) {
        if (s == "link") bench_link();
        if (s == "order") bench_order();
        if (s == "extract") bench_extract();
        if (s == "swid") bench_swid();
        if (s == "real") bench_real(g_opt.out, g_opt.reps);
        if (s == "install") {
            const InstallBar b = bench_install(g_opt.tools, g_opt.reps, g_opt.quick);
            bar(b.what, b.measured, b.met);
        }
    }

    Table bars("Bars", {"bar", "measured", "verdict"});
    for (const auto &b : g_bars)
        bars.row({b.what, b.measured, g_opt.quick ? "not judged at quick sizes" : verdict(b.met)});
    bars.print(stdout);
    return 0;
}

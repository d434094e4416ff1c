#include "bench/gen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "bench/common.h"
#include "platform/srg_bytes.h"

namespace bench {

namespace {

struct Node {
    std::string name;  // own name, no slash
    char type;
    std::string contents;
    std::vector<std::size_t> children;  // directories only
    int depth = 0;
};

void walk(const std::vector<Node> &nodes, std::size_t dir, const std::string &prefix,
          std::vector<PluginTree::Entry> &out) {
    std::vector<std::size_t> kids = nodes[dir].children;
    std::sort(kids.begin(), kids.end(),
              [&](std::size_t a, std::size_t b) { return nodes[a].name < nodes[b].name; });
    for (std::size_t k : kids) {
        const Node &n = nodes[k];
        if (n.type == 'd') {
            std::string path = prefix + n.name + "/";
            out.push_back({path, 'd', ""});
            walk(nodes, k, path, out);
        } else {
            out.push_back({prefix + n.name, n.type, n.contents});
        }
    }
}

}  // namespace

PluginTree make_tree(std::size_t entries, uint64_t seed) {
    Rng rng(seed);
    std::size_t ndirs = std::max<std::size_t>(1, (entries * 4 + 50) / 100);
    std::size_t nlinks = (entries * 8 + 50) / 100;
    std::size_t nfiles = entries - ndirs - nlinks;

    // Node 0 is the plugin directory itself (the manifest's "./").
    std::vector<Node> nodes(1);
    nodes[0].type = 'd';
    nodes[0].depth = -1;
    std::vector<std::size_t> dirs;
    char name[64];
    for (std::size_t i = 0; i < ndirs; ++i) {
        std::size_t parent;
        if (i == 0) {
            parent = 0;
            std::snprintf(name, sizeof name, "pkg");
        } else {
            do parent = dirs[rng.below(dirs.size())];
            while (nodes[parent].depth >= 4);
            std::snprintf(name, sizeof name, "d%05zu", i);
        }
        Node n;
        n.name = name;
        n.type = 'd';
        n.depth = nodes[parent].depth + 1;
        nodes.push_back(n);
        nodes[parent].children.push_back(nodes.size() - 1);
        dirs.push_back(nodes.size() - 1);
    }
    std::map<std::size_t, std::vector<std::string>> files_in;
    for (std::size_t i = 0; i < nfiles; ++i) {
        std::size_t parent = dirs[rng.below(dirs.size())];
        std::snprintf(name, sizeof name, "f%06zu.bin", i);
        Node n;
        n.name = name;
        n.type = 'f';
        nodes.push_back(n);
        nodes[parent].children.push_back(nodes.size() - 1);
        files_in[parent].push_back(name);
    }
    for (std::size_t i = 0; i < nlinks; ++i) {
        std::size_t parent = dirs[rng.below(dirs.size())];
        std::snprintf(name, sizeof name, "l%06zu.so", i);
        Node n;
        n.name = name;
        n.type = 'l';
        const auto &siblings = files_in[parent];
        n.contents =
            siblings.empty() ? std::string("missing.bin") : siblings[rng.below(siblings.size())];
        nodes.push_back(n);
        nodes[parent].children.push_back(nodes.size() - 1);
    }

    PluginTree tree;
    tree.dirs = ndirs;
    tree.files = nfiles;
    tree.links = nlinks;
    walk(nodes, 0, "", tree.entries);
    return tree;
}

bool materialize(const PluginTree &tree, const std::string &root, bool file_bytes, uint64_t seed) {
    Rng rng(seed);
    static const char kWords[] = "plugin exec path image swid order record link table entry ";
    std::string text;
    for (const auto &e : tree.entries) {
        std::string path = root + "/" + e.name;
        if (e.type == 'd') {
            if (::mkdir(path.c_str(), 0755) != 0) return false;
        } else if (e.type == 'l') {
            if (::symlink(e.contents.c_str(), path.c_str()) != 0) return false;
        } else {
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0) return false;
            if (file_bytes) {
                std::size_t size = rng.below(4097);
                text.clear();
                while (text.size() < size) {
                    std::size_t at = rng.below(sizeof kWords - 8);
                    text.append(kWords + at, 8);
                    text += static_cast<char>('0' + rng.below(10));
                }
                text.resize(size);
                if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
                    ::close(fd);
                    return false;
                }
            }
            ::close(fd);
        }
    }
    return true;
}

bool write_manifest(const PluginTree &tree, const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fputs("./\n", f);
    for (const auto &e : tree.entries) std::fprintf(f, "./%s\n", e.name.c_str());
    return std::fclose(f) == 0;
}

PluginSet make_plugin_set(std::size_t count, double per_plugin, uint64_t seed) {
    Rng rng(seed);
    PluginSet set;
    char name[64];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "vendor.plugin-%05zu.swid",
                      rng.below(100000) * 100000 + i);
        set.swids.push_back(name);
    }
    // rank[i]: position of plugin i in a hidden valid order.
    std::vector<std::size_t> by_rank(count);
    for (std::size_t i = 0; i < count; ++i) by_rank[i] = i;
    for (std::size_t i = count; i > 1; --i) std::swap(by_rank[i - 1], by_rank[rng.below(i)]);
    set.deps.resize(count);
    for (std::size_t r = 0; r < count; ++r) {
        std::size_t i = by_rank[r];
        std::size_t want =
            static_cast<std::size_t>(rng.below(static_cast<uint64_t>(2 * per_plugin) + 1));
        want = std::min(want, r);
        std::vector<std::size_t> chosen;
        while (chosen.size() < want) {
            std::size_t j = by_rank[rng.below(r)];
            if (std::find(chosen.begin(), chosen.end(), j) == chosen.end()) chosen.push_back(j);
        }
        for (std::size_t j : chosen) set.deps[i].push_back(set.swids[j]);
        if (rng.below(5) == 0) set.deps[i].push_back("platform.base-os.swid");
    }
    return set;
}

void *make_record(const std::string &swid, const std::vector<std::string> &deps) {
    std::string r = srg_format::record_bytes(
        swid, deps.empty() ? std::nullopt : std::optional<std::vector<std::string>>(deps));
    void *p = std::malloc(r.size());
    if (p) std::memcpy(p, r.data(), r.size());
    return p;
}

}  // namespace bench

// Generators of benchmark inputs: plugin trees with their manifests, and
// plugin sets with random acyclic dependencies.
#ifndef PI_BENCH_GEN_H
#define PI_BENCH_GEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A plugin tree of `entries` manifest entries below one top directory "pkg":
// about 4% directories (a random tree at most 5 deep), 8% symbolic links
// (each naming a regular file of its own directory by a relative name, as
// libfoo.so names libfoo.so.1) and the rest regular files.
struct PluginTree {
    struct Entry {
        std::string name;      // "pkg/d00003/f000017.bin"; directories end in '/'
        char type;             // 'd', 'f' or 'l'
        std::string contents;  // symbolic links: what they name
    };
    std::vector<Entry> entries;  // manifest order: depth first, each directory sorted
    std::size_t dirs = 0, files = 0, links = 0;
};

PluginTree make_tree(std::size_t entries, uint64_t seed);

// Creates the tree under root (which must exist).  Regular files are empty
// unless file_bytes is true, when each gets 0..4 KiB of compressible text.
bool materialize(const PluginTree &tree, const std::string &root, bool file_bytes, uint64_t seed);

// Writes the manifest as tar -v lists the tree: "./" and then "./<entry>".
bool write_manifest(const PluginTree &tree, const std::string &path);

// A set of plugins: software ids and, for each, its dependency strings.  The
// dependencies are acyclic (every plugin depends only on plugins of lower
// hidden rank; the indices are shuffled), about `per_plugin` on average, and
// one in five plugins also names a software id outside the set.
struct PluginSet {
    std::vector<std::string> swids;
    std::vector<std::vector<std::string>> deps;
};

PluginSet make_plugin_set(std::size_t count, double per_plugin, uint64_t seed);

// A software record in libsrg's stored form (see platform/srg.h), malloc'd.
void *make_record(const std::string &swid, const std::vector<std::string> &deps);

}  // namespace bench

#endif

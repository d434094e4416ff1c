// srgtool - writes and describes software record files (.sro).
//
//   srgtool make [--swid ID] [--dep ID]... -o FILE.sro
//   srgtool dump FILE.sro
//
// make writes one record in the stored form documented in platform/srg.h: the
// software id (optional) and the dependencies in the order given.  dump
// checks the file with libsrg and prints srg_dump's description to stdout.
// Bad arguments print the usage and exit 2; any other failure prints a
// message to stderr and exits 1.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame/own.h"
#include "srg.h"

namespace {

const char kUsage[] =
    "usage: srgtool make [--swid ID] [--dep ID]... -o FILE.sro\n"
    "       srgtool dump FILE.sro\n";

int usage(const char *why) {
    if (why != nullptr) fprintf(stderr, "srgtool: %s\n", why);
    fputs(kUsage, stderr);
    return 2;
}

void put32(std::vector<unsigned char> &v, size_t at, uint32_t x) {
    v[at] = uint8_t(x >> 24);
    v[at + 1] = uint8_t(x >> 16);
    v[at + 2] = uint8_t(x >> 8);
    v[at + 3] = uint8_t(x);
}

size_t align4(size_t n) { return (n + 3) & ~size_t(3); }

// The stored form of a record (see srg.h).
std::vector<unsigned char> encode(const std::string *swid, const std::vector<std::string> &deps) {
    const size_t header = 28;
    size_t swid_off = swid ? header : 0;
    size_t list_off = align4(header + (swid ? swid->size() + 1 : 0));
    size_t list_len = 0;
    if (!deps.empty()) {
        list_len = 8 + 4 * deps.size();
        for (const auto &d : deps) list_len += d.size() + 1;
    }
    size_t total = deps.empty() ? header + (swid ? swid->size() + 1 : 0) : list_off + list_len;
    std::vector<unsigned char> rec(total, 0);
    memcpy(rec.data(), "SRG1", 4);
    put32(rec, 4, uint32_t(total));
    put32(rec, 8, (swid ? 1u : 0u) | (deps.empty() ? 0u : 2u));
    if (swid) {
        put32(rec, 12, uint32_t(swid_off));
        put32(rec, 16, uint32_t(swid->size()));
        memcpy(rec.data() + swid_off, swid->c_str(), swid->size() + 1);
    }
    if (!deps.empty()) {
        put32(rec, 20, uint32_t(list_off));
        put32(rec, 24, uint32_t(list_len));
        put32(rec, list_off, uint32_t(list_len));
        put32(rec, list_off + 4, uint32_t(deps.size()));
        size_t at = 8 + 4 * deps.size();
        for (size_t i = 0; i < deps.size(); i++) {
            put32(rec, list_off + 8 + 4 * i, uint32_t(at));
            memcpy(rec.data() + list_off + at, deps[i].c_str(), deps[i].size() + 1);
            at += deps[i].size() + 1;
        }
    }
    return rec;
}

bool good_id(const std::string &id) { return !id.empty() && id.size() <= SRG_SW_ID_MAX; }

int make(int argc, char **argv) {
    std::string swid, out;
    bool have_swid = false, have_out = false;
    std::vector<std::string> deps;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return usage(("missing value for " + arg).c_str());
        const char *value = argv[++i];
        if (arg == "--swid" && !have_swid) {
            swid = value;
            have_swid = true;
            if (!good_id(swid)) return usage("a software id has 1 to 255 characters");
        } else if (arg == "--dep") {
            deps.emplace_back(value);
            if (!good_id(deps.back())) return usage("a dependency has 1 to 255 characters");
        } else if (arg == "-o" && !have_out) {
            out = value;
            have_out = true;
        } else {
            return usage(("unexpected argument " + arg).c_str());
        }
    }
    if (!have_out || out.empty()) return usage("no output file (-o FILE.sro)");
    size_t total = 64;
    for (const auto &d : deps) total += d.size() + 5;
    if (total + swid.size() > SRG_MAX_SIZE) {
        fprintf(stderr, "srgtool: the record would exceed %u bytes\n", SRG_MAX_SIZE);
        return 1;
    }
    auto rec = encode(have_swid ? &swid : nullptr, deps);
    pi::File f = pi::open_file(out.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "srgtool: cannot create %s: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    bool ok = fwrite(rec.data(), 1, rec.size(), f.get()) == rec.size();
    ok = (pi::close_now(f) == 0) && ok;
    if (!ok) {
        fprintf(stderr, "srgtool: cannot write %s\n", out.c_str());
        remove(out.c_str());
        return 1;
    }
    if (srg_file_size(out.c_str()) != rec.size()) {
        fprintf(stderr, "srgtool: %s does not read back as a valid record\n", out.c_str());
        remove(out.c_str());
        return 1;
    }
    return 0;
}

int dump(int argc, char **argv) {
    if (argc != 3) return usage("dump takes one record file");
    const char *path = argv[2];
    uint32_t size = srg_file_size(path);
    if (size == 0) {
        fprintf(stderr, "srgtool: %s: not a valid record file\n", path);
        return 1;
    }
    std::vector<unsigned char> buf(size, 0);
    uint32_t rc = srg_file_clone(reinterpret_cast<srg_record *>(buf.data()), path, size);
    if (rc != 0) {
        fprintf(stderr, "srgtool: %s: cannot read the record (0x%x)\n", path, rc);
        return 1;
    }
    if (srg_dump(stdout, reinterpret_cast<srg_record *>(buf.data())) < 0 || fflush(stdout) != 0) {
        fprintf(stderr, "srgtool: cannot write the description\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage(nullptr);
    std::string cmd = argv[1];
    if (cmd == "make") return make(argc, argv);
    if (cmd == "dump") return dump(argc, argv);
    if (cmd == "--help" || cmd == "-h") {
        fputs(kUsage, stdout);
        return 0;
    }
    return usage(("unknown command " + cmd).c_str());
}

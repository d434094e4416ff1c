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
#include <optional>
#include <vector>

#include "frame/own.h"
#include "srg.h"
#include "srg_bytes.h"

namespace {

const char kUsage[] =
    "usage: srgtool make [--swid ID] [--dep ID]... -o FILE.sro\n"
    "       srgtool dump FILE.sro\n";

int usage(const char *why) {
    if (why) fprintf(stderr, "srgtool: %s\n", why);
    fputs(kUsage, stderr);
    return 2;
}

bool good_id(const std::string &id) { return !id.empty() && id.size() <= SRG_SW_ID_MAX; }

int make(int argc, char **argv) {
    std::string swid, out;
    bool have_swid = false, have_out = false;
    std::vector<std::string> deps;
    for (int i = 2; i < argc; ++i) {
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
    // The one encoder of the stored form, the one libsrg reads.
    const std::string rec = pit::record_bytes(
        have_swid ? std::optional<std::string>(swid) : std::nullopt,
        deps.empty() ? std::nullopt : std::optional<std::vector<std::string>>(deps));
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

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
#include "tools/failure.h"

namespace {

using tools::fail;

const char kUsage[] =
    "usage: srgtool make [--swid ID] [--dep ID]... -o FILE.sro\n"
    "       srgtool dump FILE.sro\n";

// How a run ends: its status, after the words of a failure (and the usage, for bad arguments)
// on stderr.
int finish(int status, const std::string &error) {
    if (!error.empty()) fprintf(stderr, "srgtool: %s\n", error.c_str());
    if (status == 2) fputs(kUsage, stderr);
    return status;
}

bool good_id(const std::string &id) { return !id.empty() && id.size() <= SRG_SW_ID_MAX; }

// What make is asked for.
struct MakeArgs {
    std::optional<std::string> swid;
    std::vector<std::string> deps;
    std::string out;
    bool have_out = false;
};

bool parse_make(int argc, char **argv, MakeArgs *m, std::string *error) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return fail(error, "missing value for " + arg);
        const char *value = argv[++i];
        if (arg == "--swid" && !m->swid) {
            m->swid = value;
            if (!good_id(*m->swid)) return fail(error, "a software id has 1 to 255 characters");
        } else if (arg == "--dep") {
            m->deps.emplace_back(value);
            if (!good_id(m->deps.back()))
                return fail(error, "a dependency has 1 to 255 characters");
        } else if (arg == "-o" && !m->have_out) {
            m->out = value;
            m->have_out = true;
        } else {
            return fail(error, "unexpected argument " + arg);
        }
    }
    if (!m->have_out || m->out.empty()) return fail(error, "no output file (-o FILE.sro)");
    return true;
}

// Writes the record to m.out and reads it back with libsrg; the file goes on failure.
bool write_record_file(const MakeArgs &m, std::string *error) {
    size_t total = 64 + m.swid.value_or("").size();
    for (const auto &d : m.deps) total += d.size() + 5;
    if (total > SRG_MAX_SIZE)
        return fail(error, "the record would exceed " + std::to_string(SRG_MAX_SIZE) + " bytes");
    // The one encoder of the stored form, the one libsrg reads.
    const std::string rec = srg_format::record_bytes(
        m.swid, m.deps.empty() ? std::nullopt : std::optional<std::vector<std::string>>(m.deps));
    plugin_intn::File f = plugin_intn::open_file(m.out.c_str(), "wb");
    if (!f) return tools::fail_errno(error, "cannot create " + m.out);
    bool ok = fwrite(rec.data(), 1, rec.size(), f.get()) == rec.size();
    ok = (plugin_intn::close_now(f) == 0) && ok;
    if (!ok) fail(error, "cannot write " + m.out);
    if (ok && srg_file_size(m.out.c_str()) != rec.size())
        ok = fail(error, m.out + " does not read back as a valid record");
    if (!ok) remove(m.out.c_str());
    return ok;
}

int make(int argc, char **argv) {
    MakeArgs m;
    std::string error;
    if (!parse_make(argc, argv, &m, &error)) return finish(2, error);
    return finish(write_record_file(m, &error) ? 0 : 1, error);
}

// Checks the record file with libsrg and prints srg_dump's description.
bool dump_record(const char *path, std::string *error) {
    uint32_t size = srg_file_size(path);
    if (size == 0) return fail(error, std::string(path) + ": not a valid record file");
    std::vector<unsigned char> buf(size, 0);
    uint32_t rc = srg_file_clone(reinterpret_cast<srg_record *>(buf.data()), path, size);
    if (rc != 0) {
        char code[16];
        snprintf(code, sizeof code, "%x", rc);
        return fail(error, std::string(path) + ": cannot read the record (0x" + code + ")");
    }
    if (srg_dump(stdout, reinterpret_cast<srg_record *>(buf.data())) < 0 || fflush(stdout) != 0)
        return fail(error, "cannot write the description");
    return true;
}

int dump(int argc, char **argv) {
    if (argc != 3) return finish(2, "dump takes one record file");
    std::string error;
    return finish(dump_record(argv[2], &error) ? 0 : 1, error);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return finish(2, "");
    std::string cmd = argv[1];
    if (cmd == "make") return make(argc, argv);
    if (cmd == "dump") return dump(argc, argv);
    if (cmd == "--help" || cmd == "-h") {
        fputs(kUsage, stdout);
        return 0;
    }
    return finish(2, "unknown command " + cmd);
}

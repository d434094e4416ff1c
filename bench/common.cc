#include "bench/common.h"

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

extern char **environ;

namespace bench {

namespace {
int g_saved_stderr = -1;
int g_saved_stdout = -1;
}  // namespace

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void quiet_stderr(const char *path) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_saved_stderr < 0) g_saved_stderr = ::dup(2);
    if (g_saved_stdout < 0) g_saved_stdout = ::dup(1);
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::dup2(fd, 2);
        ::close(fd);
    }
    fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::close(fd);
    }
}

void restore_stderr() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_saved_stderr >= 0) ::dup2(g_saved_stderr, 2);
    if (g_saved_stdout >= 0) ::dup2(g_saved_stdout, 1);
}

void progress(const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1);
    int fd = g_saved_stderr >= 0 ? g_saved_stderr : 2;
    (void)!::write(fd, buf, len);
}

double run_peer(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    // Its standard error is kept in /tmp/peer.err for the report of a failure.
    posix_spawn_file_actions_addopen(&fa, 2, "/tmp/peer.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    double t0 = now();
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        progress("  cannot run %s: %s\n", argv[0].c_str(), std::strerror(rc));
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    double t = now() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        progress("  %s exited with status %d:\n", argv[0].c_str(), status);
        if (FILE *f = std::fopen("/tmp/peer.err", "r")) {
            char line[512];
            for (int k = 0; k < 5 && std::fgets(line, sizeof line, f); ++k)
                progress("    %s", line);
            std::fclose(f);
        }
        return -1;
    }
    return t;
}

double children_cpu() {
    rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

namespace {
int remove_one(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;
}
}  // namespace

void remove_tree(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        ::remove(path.c_str());
        return;
    }
    nftw(path.c_str(), remove_one, 64, FTW_DEPTH | FTW_PHYS);
}

Table::Table(std::string title, std::vector<std::string> header)
    : title_(std::move(title)), header_(std::move(header)) {}

void Table::row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

void Table::print(FILE *out) const {
    std::fprintf(out, "\n### %s\n\n|", title_.c_str());
    for (const auto &h : header_) std::fprintf(out, " %s |", h.c_str());
    std::fprintf(out, "\n|");
    for (std::size_t i = 0; i < header_.size(); ++i) std::fprintf(out, i ? "---:|" : "---|");
    std::fprintf(out, "\n");
    for (const auto &r : rows_) {
        std::fprintf(out, "|");
        for (const auto &c : r) std::fprintf(out, " %s |", c.c_str());
        std::fprintf(out, "\n");
    }
    std::fflush(out);
}

std::string fmt_seconds(double s) {
    char buf[64];
    if (s < 0) return "failed";
    if (s < 1e-3)
        std::snprintf(buf, sizeof buf, "%.1f us", s * 1e6);
    else if (s < 1)
        std::snprintf(buf, sizeof buf, "%.1f ms", s * 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

std::string fmt_ratio(double r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, r >= 100 ? "%.0f x" : r >= 10 ? "%.1f x" : "%.2f x", r);
    return buf;
}

std::string fmt_count(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string s;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
        s += digits[i];
    }
    return s;
}

std::string verdict(bool met) { return met ? "met" : "**MISSED**"; }

// Runs the contenders of one comparison in rounds; in round r the contenders
// start at r modulo their number, so none always runs first.  Each contender
// returns its seconds (negative on failure).
std::map<std::string, double> rounds(int reps, const Contenders &cs,
                                     std::map<std::string, std::vector<double>> *samples) {
    std::map<std::string, std::vector<double>> s;
    std::map<std::string, bool> failed;
    for (int r = 0; r < reps; ++r) {
        for (std::size_t k = 0; k < cs.size(); ++k) {
            const auto &c = cs[(k + static_cast<std::size_t>(r)) % cs.size()];
            double t = c.second();
            if (t < 0) {
                failed[c.first] = true;
                progress("  %s failed\n", c.first.c_str());
            }
            s[c.first].push_back(t);
        }
    }
    std::map<std::string, double> med;
    for (auto &[name, v] : s) med[name] = failed[name] ? -1 : median(v);
    if (samples) *samples = s;
    return med;
}

}  // namespace bench

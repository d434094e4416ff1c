// Shared pieces of the benchmark driver: clocks, medians, quiet runs of the
// library (its standard error to /dev/null), peers run as child processes,
// tree removal and markdown tables.
#ifndef PI_BENCH_COMMON_H
#define PI_BENCH_COMMON_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <utility>
#include <string>
#include <vector>

namespace bench {

// Seconds on the monotonic clock.
double now();

// Median of the samples (the mean of the middle two for an even count).
double median(std::vector<double> v);

// Runs fn with file descriptors 1 and 2 on /dev/null; returns the seconds it took.
template <typename Fn>
double timed_quiet(Fn &&fn);

// Sends fd 2 to /dev/null (or to path), and fd 1 to /dev/null (the patching
// stub's line), until restore_stderr().
void quiet_stderr(const char *path = "/dev/null");
void restore_stderr();

// Progress lines of the driver (to the real standard error, also while the
// library's is sent to /dev/null).
void progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Runs argv[0] (searched in PATH) with stdin, stdout and stderr on /dev/null
// and waits for it; returns the seconds it took, or a negative value when it
// could not be run or did not exit with status 0.
double run_peer(const std::vector<std::string> &argv);

// CPU seconds (user + system) of all waited-for children so far.
double children_cpu();

// Removes path and everything below it (no error when it is missing).
void remove_tree(const std::string &path);

// The contenders of one comparison: a name and a run that returns its seconds (negative on
// failure).
using Contenders = std::vector<std::pair<std::string, std::function<double()>>>;
// Runs them in rounds; in round r they start at r modulo their number, so none always runs
// first.  Medians by name (-1 for one that failed), the samples too when asked.
std::map<std::string, double> rounds(int reps, const Contenders &cs,
                                     std::map<std::string, std::vector<double>> *samples = nullptr);

// A markdown table, printed to stdout as a whole.
class Table {
public:
    Table(std::string title, std::vector<std::string> header);
    void row(std::vector<std::string> cells);
    void print(FILE *out) const;

private:
    std::string title_;
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

std::string fmt_seconds(double s);  // "0.123 s" / "12.3 ms"
std::string fmt_ratio(double r);    // "1.07 x"
std::string fmt_count(uint64_t n);  // "100,000"
std::string verdict(bool met);      // "met" / "MISSED"

// Deterministic generator for every random choice of the benchmarks.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        // splitmix64
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }

private:
    uint64_t s_;
};

template <typename Fn>
double timed_quiet(Fn &&fn) {
    quiet_stderr();
    double t0 = now();
    fn();
    double t = now() - t0;
    restore_stderr();
    return t;
}

}  // namespace bench

#endif

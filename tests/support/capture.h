// Capture of stdout and stderr around a call, and a syslog receiver.
#ifndef PI_TESTS_SUPPORT_CAPTURE_H
#define PI_TESTS_SUPPORT_CAPTURE_H

#include <string>
#include <utility>
#include <vector>

#include "tests/support/fs.h"

namespace test_support {

// Redirects file descriptors 1 and 2 to files from construction until stop()
// (or destruction); stdio buffers are flushed on both edges, so output of
// child processes (system()) is captured too.
class Capture {
public:
    Capture();
    ~Capture();
    void stop();
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    int saved_out_ = -1, saved_err_ = -1, file_out_ = -1, file_err_ = -1;
    bool active_ = false;
    std::string out_, err_;
};

// Runs f with stdout and stderr captured; returns f's result and fills out/err.
template <typename F>
auto captured(F &&f, std::string *out, std::string *err) {
    Capture cap;
    auto result = std::forward<F>(f)();
    cap.stop();
    if (out) *out = cap.out();
    if (err) *err = cap.err();
    return result;
}

// A unix datagram socket bound at /dev/log for the receiver's lifetime.
class SyslogSink {
public:
    SyslogSink();
    ~SyslogSink();
    // Every datagram received so far, raw ("<2>Dec  6 ...: text").
    std::vector<std::string> drain();

private:
    int fd_ = -1;
};

}  // namespace test_support

#endif

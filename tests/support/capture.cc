// Capture of stdout/stderr and the syslog receiver.
#include "tests/support/capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace test_support {
namespace {

std::string slurp(int fd) {
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    if (::pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) text.clear();
    return text;
}

}  // namespace

Capture::Capture() {
    std::fflush(stdout);
    std::fflush(stderr);
    file_out_ = ::memfd_create("stdout", MFD_CLOEXEC);
    file_err_ = ::memfd_create("stderr", MFD_CLOEXEC);
    saved_out_ = ::fcntl(1, F_DUPFD_CLOEXEC, 10);
    saved_err_ = ::fcntl(2, F_DUPFD_CLOEXEC, 10);
    if (file_out_ < 0 || file_err_ < 0 || saved_out_ < 0 || saved_err_ < 0) std::abort();
    ::dup2(file_out_, 1);
    ::dup2(file_err_, 2);
    active_ = true;
}

void Capture::stop() {
    if (!active_) return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    out_ = slurp(file_out_);
    err_ = slurp(file_err_);
    for (int fd : {saved_out_, saved_err_, file_out_, file_err_}) ::close(fd);
    active_ = false;
}

Capture::~Capture() { stop(); }

SyslogSink::SyslogSink() {
    ::unlink("/dev/log");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    (void)::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

SyslogSink::~SyslogSink() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink("/dev/log");
}

std::vector<std::string> SyslogSink::drain() {
    std::vector<std::string> out;
    char buf[8192];
    for (ssize_t n; fd_ >= 0 && (n = ::recv(fd_, buf, sizeof buf, 0)) >= 0;)
        out.emplace_back(buf, static_cast<std::size_t>(n));
    return out;
}

std::string read_file(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

bool write_file(const std::string &path, const std::string &text) {
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) sandbox::mkdir_p(path.substr(0, slash));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace test_support

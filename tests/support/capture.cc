// Capture of stdout/stderr and the syslog receiver.
#include "tests/support/capture.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pit {
namespace {

int temp_file() {
    char name[] = "/tmp/.capture-XXXXXX";
    int fd = ::mkostemp(name, O_CLOEXEC);
    if (fd >= 0) ::unlink(name);
    return fd;
}

std::string slurp(int fd) {
    std::string text;
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

Capture::Capture() {
    std::fflush(stdout);
    std::fflush(stderr);
    file_out_ = temp_file();
    file_err_ = temp_file();
    saved_out_ = ::fcntl(1, F_DUPFD_CLOEXEC, 10);
    saved_err_ = ::fcntl(2, F_DUPFD_CLOEXEC, 10);
    if (file_out_ < 0 || file_err_ < 0 || saved_out_ < 0 || saved_err_ < 0) {
        std::fprintf(stderr, "capture: cannot redirect output\n");
        std::abort();
    }
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
    saved_out_ = saved_err_ = file_out_ = file_err_ = -1;
    active_ = false;
}

Capture::~Capture() { stop(); }

SyslogSink::SyslogSink() {
    ::unlink("/dev/log");
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

SyslogSink::~SyslogSink() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink("/dev/log");
    }
}

std::vector<std::string> SyslogSink::drain() {
    std::vector<std::string> out;
    if (fd_ < 0) return out;
    char buf[8192];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) break;
        out.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool parse_syslog(const std::string &datagram, int *priority, std::string *message) {
    if (datagram.size() < 3 || datagram[0] != '<') return false;
    std::size_t close = datagram.find('>');
    if (close == std::string::npos || close == 1) return false;
    char *end = nullptr;
    long pri = std::strtol(datagram.c_str() + 1, &end, 10);
    if (end != datagram.c_str() + close) return false;
    // "<pri>Mmm dd hh:mm:ss tag[pid]: text" or "<pri>Mmm dd hh:mm:ss text":
    // the timestamp is 15 characters; the tag, when any, ends with ": ".
    std::size_t pos = close + 1 + 16;
    if (pos > datagram.size()) return false;
    std::string rest = datagram.substr(pos);
    std::size_t colon = rest.find(": ");
    if (colon != std::string::npos && rest.find(' ') > colon) rest = rest.substr(colon + 2);
    if (priority) *priority = static_cast<int>(pri);
    if (message) *message = rest;
    return true;
}

std::string read_file(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text = slurp(fd);
    ::close(fd);
    return text;
}

bool write_file(const std::string &path, const std::string &text) {
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdirs(path.substr(0, slash));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace pit

#include "syslog_capture.h"

#include "file_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace hubtest {
namespace {

constexpr const char *DEV_LOG = "/dev/log";

SyslogRecord parse(const std::string &raw) {
    SyslogRecord r;
    size_t open = raw.find('['), close = raw.find("]: "), ident = raw.rfind(' ', open);
    if (std::sscanf(raw.c_str(), "<%d>", &r.priority) != 1 || open == std::string::npos ||
        close == std::string::npos || ident == std::string::npos)
        return SyslogRecord{-1, "", -1, raw};
    r.ident = raw.substr(ident + 1, open - ident - 1);
    r.pid = std::stol(raw.substr(open + 1, close - open - 1));
    r.message = raw.substr(close + 3);
    return r;
}

}  // namespace

SyslogCapture::SyslogCapture() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", DEV_LOG);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // Another test run on the machine may hold it: wait until it lets go. A
    // socket nobody reads any more (left by a crashed run) is taken over.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool owned = connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        close(probe);
        auto left = std::chrono::ceil<Millis>(give_up - std::chrono::steady_clock::now());
        if (!owned) unlink(DEV_LOG);
        else if (left.count() <= 0 || !wait_file(DEV_LOG, [](const std::string &) { return access(DEV_LOG, F_OK) != 0; }, left))
            throw std::system_error(EADDRINUSE, std::generic_category(), "something else keeps /dev/log");
    }
    if (pipe2(stop_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    reader_ = std::thread([this] {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            char buffer[8192];
            ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) continue;
            std::lock_guard lock(mutex_);
            records_.push_back(parse(std::string(buffer, static_cast<size_t>(n))));
            changed_.notify_all();
        }
    });
}

SyslogCapture::~SyslogCapture() {
    close(stop_[1]);
    reader_.join();
    close(stop_[0]);
    close(fd_);
    unlink(DEV_LOG);
}

std::vector<SyslogRecord> SyslogCapture::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> SyslogCapture::messages() const {
    std::vector<std::string> out;
    for (const SyslogRecord &r : records()) out.push_back(r.message);
    return out;
}

std::optional<size_t> SyslogCapture::wait_message(const LineMatch &match, Millis timeout, size_t from) const {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; from < records_.size(); ++from)
            if (match(records_[from].message)) return (found = from).has_value();
        return false;
    });
    return found;
}

}  // namespace hubtest

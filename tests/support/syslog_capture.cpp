#include "syslog_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <system_error>

#include "file_wait.h"

namespace hubtest {
namespace {

constexpr const char *DEV_LOG = "/dev/log";

std::string message(const std::string &record) {
    size_t end = record.find("]: ");
    return end == std::string::npos ? record : record.substr(end + 3);
}

}  // namespace

SyslogCapture::SyslogCapture() {
    sockaddr_un addr{AF_UNIX, "/dev/log"};
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
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while ((poll(fds, 2, -1) >= 0 || errno == EINTR) && !fds[1].revents) {
            char buffer[8192];
            ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            std::lock_guard lock(mutex_);
            if (n > 0) records_.emplace_back(buffer, static_cast<size_t>(n));
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

std::vector<std::string> SyslogCapture::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> SyslogCapture::messages() const {
    std::vector<std::string> out;
    for (const std::string &r : records()) out.push_back(message(r));
    return out;
}

std::optional<size_t> SyslogCapture::wait_message(const LineMatch &match, Millis timeout, size_t from) const {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; from < records_.size(); ++from)
            if (match(message(records_[from]))) return (found = from).has_value();
        return false;
    });
    return found;
}

}  // namespace hubtest

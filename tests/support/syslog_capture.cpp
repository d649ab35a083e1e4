#include "syslog_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <system_error>

namespace hubtest {
namespace {

std::string message(const std::string &record) {
    size_t end = record.find("]: ");
    return end == std::string::npos ? record : record.substr(end + 3);
}

// Run by /bin/sh in the new mount namespace: $1 is the folder that becomes
// /dev, the rest the hub's command.
constexpr const char *OWN_DEV = R"(d=$1; shift
for n in null zero full random urandom; do : > "$d/$n"; mount --bind "/dev/$n" "$d/$n"; done
mount --bind "$d" /dev
exec "$@")";

}  // namespace

std::string SyslogCapture::unavailable() {
    return geteuid() == 0 ? "" : "needs root for a private mount namespace with its own /dev/log";
}

SyslogCapture::SyslogCapture(HubProcess &hub) : path_(hub.path("dev/log")) {
    const std::string dev = hub.path("dev");
    sockaddr_un addr{AF_UNIX, {}};
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (mkdir(dev.c_str(), 0755) != 0 || (fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) < 0 ||
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || pipe2(stop_, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "system log socket " + path_);
    hub.set_wrapper({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-ec", OWN_DEV, "sh", dev});
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
}

bool SyslogCapture::mark(const std::string &text, Millis timeout) {
    sockaddr_un addr{AF_UNIX, {}};
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const std::string record = "<14>test[0]: " + text;
    bool sent = fd >= 0 && sendto(fd, record.data(), record.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr) ==
                               static_cast<ssize_t>(record.size());
    if (fd >= 0) close(fd);
    return sent && wait_message(text, timeout).has_value();
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

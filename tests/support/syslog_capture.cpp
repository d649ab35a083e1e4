#include "syslog_capture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hubtest {
namespace {

// "Mmm dd hh:mm:ss", the timestamp syslog() puts after the priority.
constexpr size_t TIMESTAMP_LENGTH = 15;
// A record is at most this long; syslog() cuts nothing shorter.
constexpr size_t MAX_RECORD = 65536;

sockaddr_un dev_log_address() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, SyslogCapture::DEV_LOG);
    return addr;
}

// Nobody reads a socket that refuses a connection: a leftover, safe to replace.
bool is_stale_socket() {
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    sockaddr_un addr = dev_log_address();
    bool refused = connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 && errno == ECONNREFUSED;
    close(probe);
    return refused;
}

}  // namespace

std::optional<SyslogRecord> parse_syslog_record(const std::string &raw) {
    SyslogRecord record;
    if (raw.empty() || raw[0] != '<') return std::nullopt;
    size_t close_angle = raw.find('>');
    if (close_angle == std::string::npos || close_angle < 2) return std::nullopt;
    try {
        record.priority = std::stoi(raw.substr(1, close_angle - 1));
    } catch (const std::exception &) {
        return std::nullopt;
    }
    size_t tag = close_angle + 1 + TIMESTAMP_LENGTH;
    if (raw.size() < tag + 1 || raw[tag] != ' ') return std::nullopt;
    ++tag;
    size_t colon = raw.find(": ", tag);
    if (colon == std::string::npos) return std::nullopt;
    std::string label = raw.substr(tag, colon - tag);  // "hub[1234]" or "hub"
    size_t bracket = label.find('[');
    if (bracket != std::string::npos && label.back() == ']') {
        record.ident = label.substr(0, bracket);
        try {
            record.pid = std::stol(label.substr(bracket + 1, label.size() - bracket - 2));
        } catch (const std::exception &) {
            return std::nullopt;
        }
    } else {
        record.ident = label;
    }
    record.message = raw.substr(colon + 2);
    return record;
}

SyslogCapture::SyslogCapture() {
    struct stat st;
    if (lstat(DEV_LOG, &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || !is_stale_socket()) {
            reason_ = std::string(DEV_LOG) + " exists (a system logger owns it): system-log records cannot be captured";
            return;
        }
        unlink(DEV_LOG);
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    sockaddr_un addr = dev_log_address();
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        reason_ = std::string("cannot bind ") + DEV_LOG + ": " + std::strerror(errno);
        close(fd);
        return;
    }
    chmod(DEV_LOG, 0666);  // any user's process may log, as with a real logger
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
        reason_ = std::string("eventfd: ") + std::strerror(errno);
        close(fd);
        unlink(DEV_LOG);
        return;
    }
    fd_ = fd;
    thread_ = std::thread([this] { receive_loop(); });
}

SyslogCapture::~SyslogCapture() {
    if (fd_ < 0) return;
    uint64_t one = 1;
    ssize_t n = write(stop_fd_, &one, sizeof one);
    (void)n;
    thread_.join();
    close(fd_);
    close(stop_fd_);
    unlink(DEV_LOG);
}

void SyslogCapture::receive_loop() {
    std::vector<char> buffer(MAX_RECORD);
    for (;;) {
        pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) {
            ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n >= 0) {
                std::lock_guard lock(mutex_);
                raw_.emplace_back(buffer.data(), static_cast<size_t>(n));
                changed_.notify_all();
            }
            continue;  // read everything waiting before looking at the stop request
        }
        if (fds[0].revents & POLLIN) return;
    }
}

std::vector<std::string> SyslogCapture::raw_records() const {
    std::lock_guard lock(mutex_);
    return raw_;
}

std::vector<SyslogRecord> SyslogCapture::records() const {
    std::vector<SyslogRecord> out;
    for (const std::string &raw : raw_records()) {
        auto parsed = parse_syslog_record(raw);
        out.push_back(parsed ? *parsed : SyslogRecord{-1, "", -1, raw});
    }
    return out;
}

std::vector<std::string> SyslogCapture::messages() const {
    std::vector<std::string> out;
    for (const SyslogRecord &record : records()) out.push_back(record.message);
    return out;
}

size_t SyslogCapture::count() const {
    std::lock_guard lock(mutex_);
    return raw_.size();
}

bool SyslogCapture::wait_for_records(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return raw_.size() >= count; });
}

std::optional<size_t> SyslogCapture::wait_message(const std::string &message, Millis timeout, size_t from) const {
    return wait_message([&message](const SyslogRecord &r) { return r.message == message; }, timeout, from);
}

std::optional<size_t> SyslogCapture::wait_message(const std::function<bool(const SyslogRecord &)> &match,
                                                  Millis timeout, size_t from) const {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; from < raw_.size(); ++from) {
            auto parsed = parse_syslog_record(raw_[from]);
            if (match(parsed ? *parsed : SyslogRecord{-1, "", -1, raw_[from]})) {
                found = from;
                return true;
            }
        }
        return false;
    });
    return found;
}

}  // namespace hubtest

#include "fake_hub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tooltest {
namespace {

bool wait_readable(int fd, Millis timeout) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

FakeHub::FakeHub() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 1) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &size) != 0) {
        int err = errno;
        if (listen_fd_ >= 0) close(listen_fd_);
        throw std::system_error(err, std::generic_category(), "fake hub");
    }
    port_ = ntohs(addr.sin_port);
}

FakeHub::~FakeHub() {
    hang_up();
    close(listen_fd_);
}

bool FakeHub::accept_pc(Millis timeout) {
    if (!wait_readable(listen_fd_, timeout)) return false;
    fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd_ >= 0;
}

bool FakeHub::send(const void *bytes, size_t size) {
    return ::send(fd_, bytes, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

std::optional<PcBytes> FakeHub::read_record(Millis timeout) {
    PcBytes record{};
    size_t have = 0;
    auto until = std::chrono::steady_clock::now() + timeout;
    while (have < record.size()) {
        auto left = std::chrono::duration_cast<Millis>(until - std::chrono::steady_clock::now());
        if (left.count() < 0 || !wait_readable(fd_, left)) return std::nullopt;
        ssize_t n = recv(fd_, record.data() + have, record.size() - have, 0);
        if (n <= 0) return std::nullopt;
        have += static_cast<size_t>(n);
    }
    return record;
}

void FakeHub::hang_up() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

}  // namespace tooltest

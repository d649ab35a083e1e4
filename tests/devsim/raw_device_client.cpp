#include "raw_device_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int RawDeviceClient::connect(const std::string &path) {
    close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        return err;
    }
    fd_ = fd;
    hung_up_ = false;
    return 0;
}

void RawDeviceClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawDeviceClient::send(const devsim::Bytes &packet) {
    return fd_ >= 0 && ::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

bool RawDeviceClient::try_send(const devsim::Bytes &packet) {
    return fd_ >= 0 && ::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                           static_cast<ssize_t>(packet.size());
}

std::optional<devsim::Bytes> RawDeviceClient::receive(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    uint8_t buffer[512];
    ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) {
        hung_up_ = n == 0 || errno == ECONNRESET;
        return std::nullopt;
    }
    return devsim::Bytes(buffer, buffer + n);
}

bool RawDeviceClient::wait_hang_up(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!hung_up_) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!receive(left) && !hung_up_) return false;
    }
    return true;
}

std::optional<devsim::ResultPacket> RawDeviceClient::ioctl(uint32_t request, const devsim::Bytes &arg,
                                                           std::chrono::milliseconds timeout) {
    if (!send(devsim::encode_ioctl(request, arg))) return std::nullopt;
    auto packet = receive(timeout);
    if (!packet) return std::nullopt;
    return devsim::decode_result(*packet);
}

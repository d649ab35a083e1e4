#include "pc_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pc/pc_records.h"

namespace pcclient {
namespace {

constexpr tools::Millis CONNECT_RETRY(20);

int left_ms(tools::TimePoint until) {
    auto left = std::chrono::ceil<tools::Millis>(until - tools::Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// connect() on a non-blocking socket, waiting for the answer or a stop; the
// socket is blocking again on success.
int connect_or_stop(int fd, const sockaddr *to, socklen_t size, int stop_fd) {
    if (::connect(fd, to, size) != 0) {
        if (errno != EINPROGRESS) return errno;
        pollfd wait[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
        while (poll(wait, 2, -1) < 0)
            if (errno != EINTR) return errno;
        if (wait[1].revents & POLLIN) return EINTR;
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) return error;
    }
    return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0 ? 0 : errno;
}

}  // namespace

uint16_t free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) == 0;
    int err = errno;
    if (fd >= 0) close(fd);
    errno = err;
    return ok ? ntohs(addr.sin_port) : 0;
}

int connect_to_hub(const std::string &host, uint16_t port, int *error, int receive_buffer, int stop_fd) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        *error = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    *error = ECONNREFUSED;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            *error = errno;
            continue;
        }
        if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (int err = connect_or_stop(fd, a->ai_addr, a->ai_addrlen, stop_fd); err != 0) {
            *error = err;
            ::close(fd);
            fd = -1;
            if (err == EINTR) break;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        int one = 1;  // each 20-byte record leaves at once
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    }
    return fd;
}

bool PcLink::connect(uint16_t port, tools::Millis wait, int receive_buffer) {
    close();
    auto give_up = tools::Clock::now() + wait;
    for (;;) {
        int err = 0;
        fd_ = connect_to_hub("127.0.0.1", port, &err, receive_buffer);
        if (fd_ >= 0 || err != ECONNREFUSED || tools::Clock::now() >= give_up) return fd_ >= 0;
        poll(nullptr, 0, static_cast<int>(CONNECT_RETRY.count()));  // nothing to wait on until it listens
    }
}

uint16_t PcLink::local_port() const {
    sockaddr_in addr{};
    socklen_t size = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &size) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool PcLink::send(const PcToHub &record) {
    uint8_t bytes[PC_TO_HUB_SIZE];
    pc_to_hub_encode(record, bytes);
    return send_bytes(bytes, sizeof bytes);
}

bool PcLink::send_bytes(const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (fd_ >= 0 && size > 0) {
        ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

// Waits up to `timeout` for bytes and adds them to the stream; false on
// timeout or when the connection has ended.
bool PcLink::receive(tools::Millis timeout) {
    if (fd_ < 0 || peer_closed_) return false;
    auto until = tools::Clock::now() + timeout;
    for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        int ready = poll(&entry, 1, left_ms(until));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        uint8_t buffer[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec data{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            peer_closed_ = true;
            return false;
        }
        last_receive_ = std::chrono::system_clock::now();
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at;
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                last_receive_ = std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec)));
            }
        stream_.add(buffer, static_cast<size_t>(n));
        return true;
    }
}

std::optional<HubRecord> PcLink::read_record(tools::Millis timeout) {
    auto until = tools::Clock::now() + timeout;
    for (;;) {
        if (auto record = stream_.next()) {
            if (hub_to_pc_checksum(record->data()) != get_be16(record->data(), hub_to_pc::Checksum)) ++bad_checksums_;
            records_.push_back(*record);
            receive_times_.push_back(last_receive_);
            return record;
        }
        if (!receive(tools::Millis(left_ms(until)))) return std::nullopt;
    }
}

std::optional<HubRecord> PcLink::wait_record(const std::function<bool(const HubRecord &)> &match,
                                             tools::Millis timeout) {
    auto until = tools::Clock::now() + timeout;
    while (auto record = read_record(tools::Millis(left_ms(until))))
        if (match(*record)) return record;
    return std::nullopt;
}

std::optional<HubRecord> PcLink::wait_record_type(uint16_t type, tools::Millis timeout) {
    return wait_record([type](const HubRecord &r) { return get_le16(r.data(), hub_to_pc::MsgType) == type; },
                       timeout);
}

bool PcLink::wait_closed(tools::Millis timeout) {
    auto until = tools::Clock::now() + timeout;
    while (!peer_closed_ && receive(tools::Millis(left_ms(until)))) {
    }
    return peer_closed_;
}

void PcLink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    peer_closed_ = false;
}

void PcLink::reset() {
    if (fd_ < 0) return;
    linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close();
}

}  // namespace pcclient

#include "pc_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hubtest {
namespace {

using Clock = std::chrono::steady_clock;

// Pause between connection attempts while the hub is not listening yet.
constexpr Millis CONNECT_RETRY_PAUSE{20};

int left_ms(Clock::time_point deadline) {
    auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<Millis::rep>(left, 0));
}

// poll() on one descriptor that survives signals; returns its revents, 0 on timeout.
short wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, left_ms(deadline));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return POLLERR;
    }
}

// One attempt: 0, or the errno of the failure.
int connect_once(int fd, uint16_t port, Clock::time_point deadline) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    if (wait_for(fd, POLLOUT, deadline) == 0) return ETIMEDOUT;
    int err = 0;
    socklen_t size = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size);
    return err;
}

}  // namespace

PcBytes PcRecord::encode() const {
    PcBytes rec{};
    auto put16 = [&rec](size_t offset, uint16_t value) {
        rec[offset] = static_cast<uint8_t>(value & 0xFF);
        rec[offset + 1] = static_cast<uint8_t>(value >> 8);
    };
    put16(0, event);
    put16(2, pc_status);
    put16(8, sel_family);
    put16(10, sel_exam);
    rec[12] = kv;
    rec[13] = ma;
    rec[14] = sel_pat_type;
    rec[15] = sel_pat_size;
    rec[16] = sel_pat_dent;
    return rec;
}

uint16_t record_le16(const HubRecord &record, size_t offset) {
    return static_cast<uint16_t>(record[offset] | (record[offset + 1] << 8));
}

uint16_t record_be16(const HubRecord &record, size_t offset) {
    return static_cast<uint16_t>((record[offset] << 8) | record[offset + 1]);
}

std::string record_text(const HubRecord &record, size_t offset, size_t width) {
    std::string text;
    for (size_t i = offset; i < offset + width && i < record.size() && record[i] != 0; ++i)
        text += static_cast<char>(record[i]);
    return text;
}

PcClient::~PcClient() { close(); }

bool PcClient::connect(uint16_t port, Millis timeout) {
    close();
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return false;
        int err = connect_once(fd, port, deadline);
        if (err == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            peer_closed_ = false;
            buffer_.clear();
            return true;
        }
        ::close(fd);
        if (err != ECONNREFUSED || Clock::now() >= deadline) return false;
        // Nothing listens yet: there is no event to wait for, so pause briefly.
        poll(nullptr, 0, std::min(left_ms(deadline), static_cast<int>(CONNECT_RETRY_PAUSE.count())));
    }
}

void PcClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PcClient::receive(Millis timeout) {
    if (fd_ < 0 || peer_closed_) return false;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        uint8_t chunk[512];
        ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            buffer_.insert(buffer_.end(), chunk, chunk + n);
            return true;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            peer_closed_ = true;  // end of stream, or reset
            return false;
        }
        if (wait_for(fd_, POLLIN, deadline) == 0) return false;
    }
}

std::optional<HubRecord> PcClient::read_record(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    while (buffer_.size() < HUB_RECORD_SIZE) {
        if (!receive(std::chrono::ceil<Millis>(deadline - Clock::now()))) return std::nullopt;
    }
    HubRecord record;
    std::copy_n(buffer_.begin(), HUB_RECORD_SIZE, record.begin());
    buffer_.erase(buffer_.begin(), buffer_.begin() + HUB_RECORD_SIZE);
    records_.push_back(record);
    return record;
}

std::optional<HubRecord> PcClient::wait_record(const std::function<bool(const HubRecord &)> &match,
                                               Millis timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto record = read_record(std::chrono::ceil<Millis>(deadline - Clock::now()));
        if (!record) return std::nullopt;
        if (match(*record)) return record;
    }
}

bool PcClient::send_bytes(const void *data, size_t size, Millis timeout) {
    if (fd_ < 0) return false;
    auto deadline = Clock::now() + timeout;
    const auto *bytes = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd_, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (wait_for(fd_, POLLOUT, deadline) == 0) return false;
    }
    return true;
}

bool PcClient::wait_closed(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    while (!peer_closed_) {
        if (fd_ < 0) return false;
        if (!receive(std::chrono::ceil<Millis>(deadline - Clock::now())) && !peer_closed_) return false;
    }
    return true;
}

}  // namespace hubtest

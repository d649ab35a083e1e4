// Device sockets: a CAN controller or GPIO device played by another process
// on a SOCK_SEQPACKET Unix socket, in the packets of device_packets.h.
//   hub -> device  'W' frame(16)          one write of a frame
//   hub -> device  'I' u32 request, arg   one ioctl, n argument bytes
//   device -> hub  'R' i32 result, arg    answer to the oldest open 'I'
//   device -> hub  'F' frame(16)          a received frame, waiting to be read
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/device_backend.h"
#include "platform/device_packets.h"

namespace {

using namespace devpacket;

constexpr int IOCTL_TIMEOUT_MS = 1000;

void keep_frame(DeviceSocketState &d, const uint8_t *frame) {
    constexpr size_t KEPT = DeviceSocketState::KEPT_FRAMES;
    if (d.kept_count == KEPT) {  // cannot happen with a sane device
        d.kept_head = (d.kept_head + 1) % KEPT;
        --d.kept_count;
    }
    memcpy(d.kept[(d.kept_head + d.kept_count) % KEPT], frame, DEVICE_FRAME_SIZE);
    ++d.kept_count;
}

bool take_kept(DeviceSocketState &d, uint8_t *frame) {
    if (d.kept_count == 0) return false;
    memcpy(frame, d.kept[d.kept_head], DEVICE_FRAME_SIZE);
    d.kept_head = (d.kept_head + 1) % DeviceSocketState::KEPT_FRAMES;
    --d.kept_count;
    return true;
}

int connect_socket(const sockaddr_un &addr) {
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}

// Connects again on the same descriptor number, so the threads that hold its
// address need not know. Frames already received and kept (while an ioctl
// waited) stay kept for the reader, as a controller keeps what it has
// received. The caller holds the slot's lock.
int reconnect_locked(DeviceSocketState &d, int fd) {
    int s = connect_socket(d.addr);
    if (s < 0) return -1;
    dup3(s, fd, O_CLOEXEC);
    close(s);
    d.stale_answers = 0;
    return 0;
}

int devsock_open(DeviceSlot &slot) {
    DeviceSocketState &d = slot.sock;
    d.addr = sockaddr_un{};
    d.addr.sun_family = AF_UNIX;
    memcpy(d.addr.sun_path, slot.name, sizeof d.addr.sun_path);
    d.kept_count = 0;
    d.stale_answers = 0;
    return connect_socket(d.addr);
}

ssize_t devsock_read(DeviceSlot &slot, int fd, void *buf, size_t len) {
    std::lock_guard<std::mutex> guard(slot.lock);
    DeviceSocketState &d = slot.sock;
    uint8_t frame[DEVICE_FRAME_SIZE];
    for (;;) {
        if (take_kept(d, frame)) break;
        uint8_t pkt[PACKET_MAX];
        ssize_t n = recv(fd, pkt, sizeof pkt, MSG_DONTWAIT);
        if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        if (n == 0) return 0;  // the device hung up: nothing waiting; poll shows POLLHUP
        std::span<const uint8_t> packet(pkt, static_cast<size_t>(n));
        if (auto f = decode_frame(packet)) {
            memcpy(frame, &*f, sizeof frame);
            break;
        }
        if (decode_result(packet) && d.stale_answers > 0) --d.stale_answers;
        // Anything else is not ours to take: drop it and look again.
    }
    size_t n = len < DEVICE_FRAME_SIZE ? len : DEVICE_FRAME_SIZE;
    memcpy(buf, frame, n);
    return static_cast<ssize_t>(n);
}

// A device that stops reading fills its socket's buffer; the write then
// waits for room, as the write of a busy controller does, until the deadline.
ssize_t devsock_write(DeviceSlot &, int fd, const void *buf, size_t len, int64_t deadline_ms) {
    if (len != DEVICE_FRAME_SIZE) {
        errno = EINVAL;
        return -1;
    }
    CanFrame frame;
    memcpy(&frame, buf, sizeof frame);
    uint8_t pkt[FRAME_PACKET_SIZE];
    size_t size = encode_write(frame, pkt);
    for (;;) {
        if (send(fd, pkt, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return static_cast<ssize_t>(DEVICE_FRAME_SIZE);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (!wait_writable(fd, deadline_ms)) return -1;
    }
}

int devsock_poll(DeviceSlot &slot, struct pollfd *entry, int timeout_ms) {
    {
        std::lock_guard<std::mutex> guard(slot.lock);
        if (slot.sock.kept_count > 0) {
            entry->revents = static_cast<short>(entry->events & POLLIN);
            return 1;
        }
    }
    return poll(entry, 1, timeout_ms);
}

int devsock_ioctl(DeviceSlot &slot, int fd, unsigned long request, void *arg) {
    int size = device_request_arg_size(slot.kind, request);
    if (size < 0) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> guard(slot.lock);
    DeviceSocketState &d = slot.sock;
    uint8_t pkt[PACKET_MAX];
    size_t out = encode_ioctl(static_cast<uint32_t>(request),
                              std::span<const uint8_t>(static_cast<const uint8_t *>(arg), static_cast<size_t>(size)), pkt);
    if (send(fd, pkt, out, MSG_NOSIGNAL) < 0) return -1;

    const int64_t deadline = monotonic_ms() + IOCTL_TIMEOUT_MS;
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            // A fresh connection owes no answers; where that fails, the
            // late answer is skipped when it comes instead of answering the
            // next request.
            if (reconnect_locked(d, fd) != 0) ++d.stale_answers;
            errno = ETIMEDOUT;
            return -1;
        }
        ssize_t n = recv(fd, pkt, sizeof pkt, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        std::span<const uint8_t> packet(pkt, static_cast<size_t>(n));
        if (auto f = decode_frame(packet)) {
            keep_frame(d, packet.data() + 1);
            continue;
        }
        auto answer = decode_result(packet);
        if (!answer) continue;
        if (d.stale_answers > 0) {
            --d.stale_answers;
            continue;
        }
        size_t have = answer->arg.size() < static_cast<size_t>(size) ? answer->arg.size() : static_cast<size_t>(size);
        memcpy(arg, answer->arg.data(), have);
        return answer->result;
    }
}

int devsock_recover(DeviceSlot &slot, int fd) {
    std::lock_guard<std::mutex> guard(slot.lock);
    return reconnect_locked(slot.sock, fd);
}

int devsock_close(DeviceSlot &, int fd) { return close(fd); }

}  // namespace

const DeviceOps device_socket_ops{devsock_open,  devsock_read,    devsock_write, devsock_poll,
                                  devsock_ioctl, devsock_recover, devsock_close};

// Device sockets: packets of one kind byte and a body, host byte order.
//   hub -> device  'W' frame(16)          one write of a frame
//   hub -> device  'I' u32 request, arg   one ioctl, n argument bytes
//   device -> hub  'R' i32 result, arg    answer to the oldest open 'I'
//   device -> hub  'F' frame(16)          a received frame, waiting to be read
#include "platform/device_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t FRAME_SIZE = 16;
constexpr int IOCTL_TIMEOUT_MS = 1000;
constexpr size_t KEPT_FRAMES = 256;  // frames that arrive while an ioctl waits
constexpr size_t MAX_DEVICES = 4;

struct DeviceSocket {
    std::atomic<int> fd{-1};
    DeviceKind kind = DeviceKind::Can;
    sockaddr_un addr{};
    std::mutex lock;  // one ioctl round trip at a time; reads against ioctls
    uint8_t kept[KEPT_FRAMES][FRAME_SIZE];
    size_t kept_head = 0;
    size_t kept_count = 0;
    unsigned stale_answers = 0;  // answers still owed to ioctls that timed out
};

DeviceSocket devices[MAX_DEVICES];

DeviceSocket *find(int fd) {
    if (fd < 0) return nullptr;
    for (auto &d : devices)
        if (d.fd.load(std::memory_order_acquire) == fd) return &d;
    return nullptr;
}

// Size of the object an ioctl argument points to, or -1 for an unknown request.
int ioctl_arg_size(DeviceKind kind, unsigned long request) {
    if (kind == DeviceKind::Can) return request == 0 ? 4 : -1;
    switch (request) {
    case 0:
    case 1: return 8;
    case 3: return 1;
    case 7:
    case 8: return 4;
    default: return -1;
    }
}

void keep_frame(DeviceSocket &d, const uint8_t *frame) {
    if (d.kept_count == KEPT_FRAMES) {  // cannot happen with a sane device
        d.kept_head = (d.kept_head + 1) % KEPT_FRAMES;
        --d.kept_count;
    }
    memcpy(d.kept[(d.kept_head + d.kept_count) % KEPT_FRAMES], frame, FRAME_SIZE);
    ++d.kept_count;
}

bool take_kept(DeviceSocket &d, uint8_t *frame) {
    if (d.kept_count == 0) return false;
    memcpy(frame, d.kept[d.kept_head], FRAME_SIZE);
    d.kept_head = (d.kept_head + 1) % KEPT_FRAMES;
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

DeviceSocket *free_slot() {
    for (auto &d : devices)
        if (d.fd.load(std::memory_order_acquire) < 0) return &d;
    return nullptr;
}

long ms_until(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
}

// Connects again on the same descriptor number, so the threads that hold its
// address need not know. Frames already received and kept (while an ioctl
// waited) stay kept for the reader, as a controller keeps what it has
// received. The caller holds d.lock.
int reconnect_locked(DeviceSocket &d, int fd) {
    int s = connect_socket(d.addr);
    if (s < 0) return -1;
    dup3(s, fd, O_CLOEXEC);
    close(s);
    d.stale_answers = 0;
    return 0;
}

}  // namespace

int devsock_open(const char *path, DeviceKind kind) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(addr.sun_path, path);
    DeviceSocket *slot = free_slot();
    if (!slot) {
        errno = EMFILE;
        return -1;
    }
    int s = connect_socket(addr);
    if (s < 0) return -1;
    slot->kind = kind;
    slot->addr = addr;
    slot->kept_count = 0;
    slot->stale_answers = 0;
    slot->fd.store(s, std::memory_order_release);
    return s;
}

bool devsock_is_socket(int fd) { return find(fd) != nullptr; }

ssize_t devsock_read(int fd, void *buf, size_t len) {
    DeviceSocket *d = find(fd);
    if (!d) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> guard(d->lock);
    uint8_t frame[FRAME_SIZE];
    for (;;) {
        if (take_kept(*d, frame)) break;
        uint8_t pkt[64];
        ssize_t n = recv(fd, pkt, sizeof pkt, MSG_DONTWAIT);
        if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        if (n == 0) return 0;  // the device hung up: nothing waiting; poll shows POLLHUP
        if (pkt[0] == 'F' && n == 1 + static_cast<ssize_t>(FRAME_SIZE)) {
            memcpy(frame, pkt + 1, FRAME_SIZE);
            break;
        }
        if (pkt[0] == 'R' && d->stale_answers > 0) --d->stale_answers;
        // Anything else is not ours to take: drop it and look again.
    }
    size_t n = len < FRAME_SIZE ? len : FRAME_SIZE;
    memcpy(buf, frame, n);
    return static_cast<ssize_t>(n);
}

ssize_t devsock_write(int fd, const void *buf, size_t len) {
    if (len != FRAME_SIZE) {
        errno = EINVAL;
        return -1;
    }
    uint8_t pkt[1 + FRAME_SIZE];
    pkt[0] = 'W';
    memcpy(pkt + 1, buf, FRAME_SIZE);
    // Blocks while the device's buffer is full, as a busy controller would.
    ssize_t n = send(fd, pkt, sizeof pkt, MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<ssize_t>(FRAME_SIZE);
}

int devsock_poll(struct pollfd *entry, int timeout_ms) {
    DeviceSocket *d = find(entry->fd);
    if (d) {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->kept_count > 0) {
            entry->revents = static_cast<short>(entry->events & POLLIN);
            return 1;
        }
    }
    return poll(entry, 1, timeout_ms);
}

int devsock_ioctl(int fd, unsigned long request, void *arg) {
    DeviceSocket *d = find(fd);
    if (!d) {
        errno = EBADF;
        return -1;
    }
    int size = ioctl_arg_size(d->kind, request);
    if (size < 0) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> guard(d->lock);

    uint8_t pkt[64];
    pkt[0] = 'I';
    uint32_t req = static_cast<uint32_t>(request);
    memcpy(pkt + 1, &req, 4);
    memcpy(pkt + 5, arg, static_cast<size_t>(size));
    if (send(fd, pkt, 5 + static_cast<size_t>(size), MSG_NOSIGNAL) < 0) return -1;

    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += IOCTL_TIMEOUT_MS / 1000;
    for (;;) {
        long left = ms_until(deadline);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            // A fresh connection owes no answers; where that fails, the
            // late answer is skipped when it comes instead of answering the
            // next request.
            if (reconnect_locked(*d, fd) != 0) ++d->stale_answers;
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
        if (pkt[0] == 'F' && n == 1 + static_cast<ssize_t>(FRAME_SIZE)) {
            keep_frame(*d, pkt + 1);
            continue;
        }
        if (pkt[0] != 'R') continue;
        if (d->stale_answers > 0) {
            --d->stale_answers;
            continue;
        }
        int32_t result;
        memcpy(&result, pkt + 1, 4);
        size_t have = n > 5 ? static_cast<size_t>(n - 5) : 0;
        memcpy(arg, pkt + 5, have < static_cast<size_t>(size) ? have : static_cast<size_t>(size));
        return result;
    }
}

int devsock_reconnect(int fd) {
    DeviceSocket *d = find(fd);
    if (!d) return 0;
    std::lock_guard<std::mutex> guard(d->lock);
    return reconnect_locked(*d, fd);
}

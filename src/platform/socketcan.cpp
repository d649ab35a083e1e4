// Raw CAN sockets (PF_CAN, SOCK_RAW, CAN_RAW) behind the device calls.
//   read    one struct can_frame as the 16-byte record; 0 when none waits
//   write   one frame, waiting for room: never dropped by the kernel queue
//   status  0 while the interface is up and running, 1 while down or absent
// An interface that disappears and comes back under a new ifindex is bound
// again on the same descriptor number, as a device socket is reconnected,
// so the threads that hold the descriptor's address carry on.
#include "platform/socketcan.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/can_raw_codec.h"

namespace {

constexpr size_t FRAME_SIZE = 16;
constexpr int RETRY_MS = 1000;       // interface down or gone: look again once a second
constexpr int BACKOFF_FIRST_MS = 1;  // tx queue full: wait 1, 2, 4 ... 32 ms between tries
constexpr int BACKOFF_MAX_MS = 32;
constexpr size_t MAX_INTERFACES = 2;

struct CanInterface {
    std::atomic<int> fd{-1};
    char name[IFNAMSIZ] = {};
    std::mutex lock;                      // one (re)binding at a time
    std::atomic<bool> down_said{false};   // "down" said, "up" not yet
    std::atomic<bool> strange_said{false};
    int last_ifindex = 0;  // under `lock`; 0 until first bound
};

CanInterface interfaces[MAX_INTERFACES];

CanInterface *find(int fd) {
    if (fd < 0) return nullptr;
    for (auto &c : interfaces)
        if (c.fd.load(std::memory_order_acquire) == fd) return &c;
    return nullptr;
}

void say_down(CanInterface &c) {
    if (!c.down_said.exchange(true)) fprintf(stderr, "hub: CAN interface %s is down or absent; waiting for it\n", c.name);
}

void say_up(CanInterface &c, int ifindex) {
    if (c.down_said.exchange(false)) fprintf(stderr, "hub: CAN interface %s is up (ifindex %d)\n", c.name, ifindex);
}

// Only standard data frames reach the socket: extended and remote frames are
// filtered in the kernel, and error frames stay off (the default).
int filtered_socket() {
    int s = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) return -1;
    const can_filter standard_data{0, CAN_EFF_FLAG | CAN_RTR_FLAG};
    (void)setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &standard_data, sizeof standard_data);
    return s;
}

// Binding to an interface that is down leaves a "network down" error on the
// socket; the status query reports that state, so the error is taken here
// rather than sending the reader into its fault back-off.
int bind_to(int s, int ifindex) {
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    if (bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) return -1;
    int error = 0;
    socklen_t len = sizeof error;
    (void)getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len);
    return 0;
}

// 0 while unbound: never bound, or unbound by the kernel when its interface
// was removed.
int bound_ifindex(int fd) {
    sockaddr_can addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) return 0;
    return addr.can_ifindex;
}

// Binds `fd` to the interface's present ifindex unless it already is: a
// fresh socket, put on the same descriptor number. Returns the ifindex, or
// 0 while the interface is absent (or no CAN interface).
int bind_current(CanInterface &c, int fd) {
    std::lock_guard<std::mutex> guard(c.lock);
    int ifindex = static_cast<int>(if_nametoindex(c.name));
    if (ifindex == 0) return 0;
    if (bound_ifindex(fd) == ifindex) return ifindex;
    int s = filtered_socket();
    if (s < 0) return 0;
    if (bind_to(s, ifindex) != 0) {
        close(s);
        return 0;
    }
    dup3(s, fd, O_CLOEXEC);
    close(s);
    if (c.last_ifindex != 0)
        fprintf(stderr, "hub: CAN interface %s bound again (ifindex %d, was %d)\n", c.name, ifindex, c.last_ifindex);
    c.last_ifindex = ifindex;
    return ifindex;
}

bool up_and_running(const CanInterface &c, int fd) {
    ifreq req{};
    memcpy(req.ifr_name, c.name, sizeof req.ifr_name);
    if (ioctl(fd, SIOCGIFFLAGS, &req) != 0) return false;
    return (req.ifr_flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
}

int interface_status(CanInterface &c, int fd) {
    int ifindex = bind_current(c, fd);
    if (ifindex == 0 || !up_and_running(c, fd)) {
        say_down(c);
        return 1;
    }
    say_up(c, ifindex);
    return 0;
}

void wait_ms(int ms) { (void)poll(nullptr, 0, ms); }

}  // namespace

bool socketcan_names_interface(const char *name) {
    size_t len = strlen(name);
    if (len == 0 || len >= IFNAMSIZ || strchr(name, '/') != nullptr) return false;
    if (if_nametoindex(name) != 0) return true;
    struct stat st;
    return stat(name, &st) != 0;  // a file of that name in the working directory stays a path
}

int socketcan_open(const char *name) {
    CanInterface *slot = nullptr;
    for (auto &c : interfaces)
        if (!slot && c.fd.load(std::memory_order_acquire) < 0) slot = &c;
    if (!slot) {
        errno = EMFILE;
        return -1;
    }
    int s = filtered_socket();
    if (s < 0) return -1;
    int ifindex = static_cast<int>(if_nametoindex(name));
    // Otherwise bound once it appears.
    slot->last_ifindex = ifindex != 0 && bind_to(s, ifindex) == 0 ? ifindex : 0;
    memset(slot->name, 0, sizeof slot->name);
    memcpy(slot->name, name, strlen(name));
    slot->fd.store(s, std::memory_order_release);
    return s;
}

bool socketcan_is_socket(int fd) { return find(fd) != nullptr; }

ssize_t socketcan_read(int fd, void *buf, size_t len) {
    CanInterface *c = find(fd);
    if (!c) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        can_frame raw;
        ssize_t n = recv(fd, &raw, sizeof raw, MSG_DONTWAIT);
        if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        CanFrame frame;
        if (n != static_cast<ssize_t>(sizeof raw) || can_frame_from_raw(raw, &frame) != 0) {
            // The kernel filter drops these silently; one that got through
            // anyway is named once and never dispatched.
            if (!c->strange_said.exchange(true))
                fprintf(stderr, "hub: CAN interface %s: a frame that is not a standard data frame was not dispatched\n",
                        c->name);
            continue;
        }
        size_t n_out = std::min(len, FRAME_SIZE);
        memcpy(buf, &frame, n_out);
        return static_cast<ssize_t>(n_out);
    }
}

ssize_t socketcan_write(int fd, const void *buf, size_t len) {
    CanInterface *c = find(fd);
    if (!c || len != FRAME_SIZE) {
        errno = c ? EINVAL : EBADF;
        return -1;
    }
    CanFrame frame;
    memcpy(&frame, buf, FRAME_SIZE);
    can_frame raw;
    can_frame_to_raw(frame, &raw);
    int backoff_ms = BACKOFF_FIRST_MS;
    for (;;) {
        ssize_t n = send(fd, &raw, sizeof raw, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(sizeof raw)) {
            if (c->down_said.load()) say_up(*c, bound_ifindex(fd));
            return static_cast<ssize_t>(FRAME_SIZE);
        }
        if (n >= 0) return -1;
        switch (errno) {
        case EINTR: break;
        case EAGAIN: {  // the socket's own send buffer is full: its readiness is real
            pollfd room{fd, POLLOUT, 0};
            (void)poll(&room, 1, RETRY_MS);
            break;
        }
        case ENOBUFS:
            // The interface's tx queue is full. POLLOUT may already say
            // writable, so wait a short, growing, bounded time and try again.
            wait_ms(backoff_ms);
            backoff_ms = std::min(backoff_ms * 2, BACKOFF_MAX_MS);
            break;
        case ENETDOWN:
        case ENXIO:
        case ENODEV:
            // Down or gone: the frame is kept and tried once a second; the
            // reader binds a re-created interface again.
            say_down(*c);
            wait_ms(RETRY_MS);
            break;
        default: return -1;
        }
    }
}

int socketcan_poll(struct pollfd *entry, int timeout_ms) {
    CanInterface *c = find(entry->fd);
    // Unbound (absent, or removed under us): look for the interface again at
    // least once a second instead of sleeping the whole timeout.
    if (c && bound_ifindex(entry->fd) == 0 && bind_current(*c, entry->fd) == 0 &&
        (timeout_ms < 0 || timeout_ms > RETRY_MS))
        timeout_ms = RETRY_MS;
    return poll(entry, 1, timeout_ms);
}

int socketcan_ioctl(int fd, unsigned long request, void *arg) {
    CanInterface *c = find(fd);
    if (!c || request != 0) {
        errno = c ? EINVAL : EBADF;
        return -1;
    }
    int32_t status = interface_status(*c, fd);
    memcpy(arg, &status, sizeof status);
    return 0;
}

int socketcan_recover(int fd) {
    CanInterface *c = find(fd);
    if (!c) return 0;
    // The kernel's "down" or "gone" report is taken here, once.
    int error = 0;
    socklen_t len = sizeof error;
    (void)getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    return interface_status(*c, fd) == 0 ? 0 : -1;
}

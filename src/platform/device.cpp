// The descriptor table: each open device's slot with its backend. The lookup,
// the EBADF answer and the choice of backend are made here once.
#include "platform/device.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/can_raw_socket.h"
#include "platform/device_backend.h"

namespace {

constexpr size_t MAX_DEVICES = 8;

DeviceSlot slots[MAX_DEVICES];
std::mutex table_lock;  // opening and closing; calls on open slots go without it

// A descriptor the layer did not open: the plain system calls.
DeviceSlot *plain_descriptor() {
    static DeviceSlot *const plain = [] {
        static DeviceSlot slot;
        slot.ops = &char_device_ops;
        return &slot;
    }();
    return plain;
}

// The slot of `fd`, or nullptr with EBADF for a negative descriptor.
DeviceSlot *slot_of(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return nullptr;
    }
    for (auto &s : slots)
        if (s.fd.load(std::memory_order_acquire) == fd) return &s;
    return plain_descriptor();
}

// The one place that picks the backend. A CAN device is a SocketCAN interface
// or a path by the rule of can_name_kind; a path is a device socket when it
// names a Unix-domain socket, otherwise a character device.
const DeviceOps *backend_for(const char *path, DeviceKind kind) {
    if (kind == DeviceKind::Can) {
        switch (can_name_kind(path)) {
        case CanNameKind::Interface: return &socketcan_ops;
        case CanNameKind::Neither: errno = ENOENT; return nullptr;
        case CanNameKind::Path: break;
        }
    }
    struct stat st;
    if (stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) return &device_socket_ops;
    return &char_device_ops;
}

}  // namespace

void wait_ms(int ms) { (void)poll(nullptr, 0, ms); }

bool wait_writable(int fd, int64_t deadline_ms) {
    pollfd room{fd, POLLOUT, 0};
    if (deadline_ms == NO_DEADLINE) return poll(&room, 1, -1) >= 0 || errno == EINTR;
    int64_t left = deadline_ms - monotonic_ms();
    if (left > 0 && poll(&room, 1, static_cast<int>(left)) != 0) return true;
    errno = ETIMEDOUT;
    return false;
}

int dev_open(const char *path, DeviceKind kind) {
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    if (strlen(path) >= sizeof slots[0].name) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const DeviceOps *ops = backend_for(path, kind);
    if (ops == nullptr) return -1;
    std::lock_guard<std::mutex> guard(table_lock);
    DeviceSlot *slot = nullptr;
    for (auto &s : slots)
        if (!slot && s.fd.load(std::memory_order_acquire) < 0) slot = &s;
    if (slot == nullptr) {
        errno = EMFILE;
        return -1;
    }
    slot->ops = ops;
    slot->kind = kind;
    memset(slot->name, 0, sizeof slot->name);
    memcpy(slot->name, path, strlen(path));
    int fd = ops->open(*slot);
    if (fd >= 0) slot->fd.store(fd, std::memory_order_release);
    return fd;
}

const char *dev_describe(int fd) {
    DeviceSlot *slot = slot_of(fd);
    if (slot && slot->ops == &socketcan_ops) return "a CAN interface";
    if (slot && slot->ops == &device_socket_ops) return "a device socket";
    return "a character device";
}

bool dev_says_its_faults(int fd) {
    DeviceSlot *slot = slot_of(fd);
    return slot && slot->ops == &socketcan_ops;
}

bool dev_may_name_interface(const char *name) { return name && can_name_fits_interface(name); }

int dev_close(int fd) {
    DeviceSlot *slot = slot_of(fd);
    if (slot == nullptr) return -1;
    std::lock_guard<std::mutex> guard(table_lock);
    slot->fd.store(-1, std::memory_order_release);
    return slot->ops->close(*slot, fd);
}

ssize_t dev_read(int fd, void *buf, size_t len) {
    DeviceSlot *slot = slot_of(fd);
    return slot ? slot->ops->read(*slot, fd, buf, len) : -1;
}

ssize_t dev_write(int fd, const void *buf, size_t len) { return dev_write_by(fd, buf, len, NO_DEADLINE); }

ssize_t dev_write_by(int fd, const void *buf, size_t len, int64_t deadline_ms) {
    DeviceSlot *slot = slot_of(fd);
    return slot ? slot->ops->write(*slot, fd, buf, len, deadline_ms) : -1;
}

int dev_poll(struct pollfd *entry, int timeout_ms) {
    DeviceSlot *slot = slot_of(entry->fd);
    return slot ? slot->ops->poll(*slot, entry, timeout_ms) : -1;
}

int dev_ioctl(int fd, unsigned long request, void *arg) {
    DeviceSlot *slot = slot_of(fd);
    return slot ? slot->ops->ioctl(*slot, fd, request, arg) : -1;
}

int dev_recover(int fd) {
    DeviceSlot *slot = slot_of(fd);
    return slot ? slot->ops->recover(*slot, fd) : -1;
}

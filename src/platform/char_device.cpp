// The board's character devices: the system calls as they are. A write with
// a deadline first waits for POLLOUT; a driver without a poll method always
// reports writable, and its write then blocks as before.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device_backend.h"

namespace {

int char_open(DeviceSlot &slot) { return open(slot.name, O_RDWR | O_CLOEXEC); }

ssize_t char_read(DeviceSlot &, int fd, void *buf, size_t len) { return read(fd, buf, len); }

ssize_t char_write(DeviceSlot &, int fd, const void *buf, size_t len, int64_t deadline_ms) {
    if (deadline_ms != NO_DEADLINE && !wait_writable(fd, deadline_ms)) return -1;
    return write(fd, buf, len);
}

int char_poll(DeviceSlot &, struct pollfd *entry, int timeout_ms) { return poll(entry, 1, timeout_ms); }

int char_ioctl(DeviceSlot &, int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }

int char_recover(DeviceSlot &, int) { return 0; }

int char_close(DeviceSlot &, int fd) { return close(fd); }

}  // namespace

const DeviceOps char_device_ops{char_open, char_read, char_write, char_poll, char_ioctl, char_recover, char_close};

// The device layer: the only code that touches the CAN and GPIO devices. A
// path naming a character device gets the real system calls; a path naming a
// Unix-domain socket gets the device-socket protocol, so the hub runs off the
// board against a simulator; a CAN device named without '/' ("can0") is a
// SocketCAN interface (see socketcan.h). Nothing above this layer knows which
// it has.
#pragma once

#include <poll.h>
#include <sys/types.h>

enum class DeviceKind { Can, Gpio };

// Opens `path` read-write. Returns the descriptor, or -1 with errno set (a
// null path gives ENOENT).
int dev_open(const char *path, DeviceKind kind);

// One read of a 16-byte frame: 16, 0 when no frame is waiting, -1 on error.
ssize_t dev_read(int fd, void *buf, size_t len);

// One write of a 16-byte frame; blocks while the device takes no more.
ssize_t dev_write(int fd, const void *buf, size_t len);

// poll() on one device entry; POLLIN while a frame is waiting.
int dev_poll(struct pollfd *entry, int timeout_ms);

// ioctl() with the object `arg` points to; the device fills it in.
int dev_ioctl(int fd, unsigned long request, void *arg);

// After an error or hang-up: a device socket is connected again on the same
// descriptor number, so threads holding its address carry on. Returns 0 when
// the device is usable again, -1 when not (yet). A CAN interface is bound
// again if it was re-created. A character device is left as it is and
// reported usable.
int dev_recover(int fd);

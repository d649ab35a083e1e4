// The device layer: the only code that touches the CAN and GPIO devices. A
// path naming a character device gets the real system calls; a path naming a
// Unix-domain socket gets the device-socket protocol, so the hub runs off the
// board against a simulator; a CAN device named after a network interface
// ("can0") is a SocketCAN interface. Nothing above this layer knows which it
// has. A descriptor the layer did not open (a pipe, in a test) gets the plain
// system calls, as a character device does.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>

#include "platform/device_requests.h"
#include "platform/monotonic.h"

// Opens `path` read-write, close-on-exec. Returns the descriptor, or -1 with
// errno set (a null path gives ENOENT). A CAN device name that is neither an
// interface nor a file yet gives ENOENT; see can_name_kind in can_raw_socket.h.
int dev_open(const char *path, DeviceKind kind);

// What dev_open found behind `fd`, for a message: "a CAN interface", "a
// device socket" or "a character device".
const char *dev_describe(int fd);

// True when the device says its own faults in words an operator acts on (a
// CAN interface names its link and controller states), so a caller need not.
bool dev_says_its_faults(int fd);

// True when dev_open would also take `name` for a CAN interface once one of
// that name exists (no '/', short enough for an interface name).
bool dev_may_name_interface(const char *name);

// Closes what dev_open opened; the descriptor number is free again.
int dev_close(int fd);

// One read of a 16-byte frame: 16, 0 when no frame is waiting, -1 on error.
ssize_t dev_read(int fd, void *buf, size_t len);

// One write of a 16-byte frame; blocks while the device takes no more.
ssize_t dev_write(int fd, const void *buf, size_t len);

// The same, giving up at `deadline_ms` (monotonic_ms): -1 with ETIMEDOUT
// when the device took nothing by then; the frame is not sent.
ssize_t dev_write_by(int fd, const void *buf, size_t len, int64_t deadline_ms);

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

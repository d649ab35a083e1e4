// The device-socket side of the device layer: a CAN controller or GPIO device
// played by another process on a SOCK_SEQPACKET Unix socket.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include "platform/device.h"

int devsock_open(const char *path, DeviceKind kind);
bool devsock_is_socket(int fd);
ssize_t devsock_read(int fd, void *buf, size_t len);
ssize_t devsock_write(int fd, const void *buf, size_t len);
int devsock_poll(struct pollfd *entry, int timeout_ms);
int devsock_ioctl(int fd, unsigned long request, void *arg);
int devsock_reconnect(int fd);

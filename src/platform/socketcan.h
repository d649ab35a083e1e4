// The SocketCAN side of the device layer: `canDevice` names a CAN network
// interface ("can0", "vcan0") and the hub talks to it through a raw CAN
// socket, with the same read/write/poll/status calls as the board's device.
#pragma once

#include <poll.h>
#include <sys/types.h>

// True when `name` is taken as a CAN interface: no '/', short enough for an
// interface name, and either an interface of that name exists or no file of
// that name does (an adapter not plugged in yet is waited for).
bool socketcan_names_interface(const char *name);

// A raw CAN socket for `name`, bound at once when the interface exists and
// later (by the status query, poll or recover) when it appears.
int socketcan_open(const char *name);
bool socketcan_is_socket(int fd);
ssize_t socketcan_read(int fd, void *buf, size_t len);
ssize_t socketcan_write(int fd, const void *buf, size_t len);
int socketcan_poll(struct pollfd *entry, int timeout_ms);
// Request 0: the controller status, 0 while the interface is up and running.
int socketcan_ioctl(int fd, unsigned long request, void *arg);
int socketcan_recover(int fd);

#include "platform/device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device_socket.h"
#include "platform/socketcan.h"

int dev_open(const char *path, DeviceKind kind) {
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    if (kind == DeviceKind::Can && socketcan_names_interface(path)) return socketcan_open(path);
    struct stat st;
    if (stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) return devsock_open(path, kind);
    return open(path, O_RDWR);
}

ssize_t dev_read(int fd, void *buf, size_t len) {
    if (devsock_is_socket(fd)) return devsock_read(fd, buf, len);
    if (socketcan_is_socket(fd)) return socketcan_read(fd, buf, len);
    return read(fd, buf, len);
}

ssize_t dev_write(int fd, const void *buf, size_t len) {
    if (devsock_is_socket(fd)) return devsock_write(fd, buf, len);
    if (socketcan_is_socket(fd)) return socketcan_write(fd, buf, len);
    return write(fd, buf, len);
}

int dev_poll(struct pollfd *entry, int timeout_ms) {
    if (devsock_is_socket(entry->fd)) return devsock_poll(entry, timeout_ms);
    if (socketcan_is_socket(entry->fd)) return socketcan_poll(entry, timeout_ms);
    return poll(entry, 1, timeout_ms);
}

int dev_ioctl(int fd, unsigned long request, void *arg) {
    if (devsock_is_socket(fd)) return devsock_ioctl(fd, request, arg);
    if (socketcan_is_socket(fd)) return socketcan_ioctl(fd, request, arg);
    return ioctl(fd, request, arg);
}

int dev_recover(int fd) {
    if (devsock_is_socket(fd)) return devsock_reconnect(fd);
    if (socketcan_is_socket(fd)) return socketcan_recover(fd);
    return 0;
}

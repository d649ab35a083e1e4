#include "platform/can_raw_socket.h"

#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/can_raw_codec.h"
#include "platform/monotonic.h"

namespace {

// A burst of the bus's 1 Mbit/s (about 7,000 frames a second) waits here
// while the reader is busy; the kernel caps it at net.core.rmem_max.
constexpr int RECEIVE_BUFFER = 1 << 20;
constexpr int BACKOFF_FIRST_MS = 1;
constexpr int BACKOFF_MAX_MS = 32;

}  // namespace

bool can_name_fits_interface(const char *name) {
    size_t len = strlen(name);
    return len > 0 && len < IFNAMSIZ && strchr(name, '/') == nullptr;
}

CanNameKind can_name_kind(const char *name) {
    if (can_name_fits_interface(name) && if_nametoindex(name) != 0) return CanNameKind::Interface;
    struct stat st;
    if (stat(name, &st) == 0) return CanNameKind::Path;
    return CanNameKind::Neither;
}

int can_raw_open(bool errors) {
    int s = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) return -1;
    const can_filter standard_data{0, CAN_EFF_FLAG | CAN_RTR_FLAG};
    const can_err_mask_t error_classes = errors ? can_error_subscription() : 0;
    const int on = 1;
    (void)setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &standard_data, sizeof standard_data);
    (void)setsockopt(s, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &error_classes, sizeof error_classes);
    (void)setsockopt(s, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER, sizeof RECEIVE_BUFFER);
    (void)setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    return s;
}

int can_raw_bind(int s, int ifindex) {
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    return bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
}

int can_raw_bound_ifindex(int s) {
    sockaddr_can addr{};
    socklen_t len = sizeof addr;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) return 0;
    return addr.can_ifindex;
}

ssize_t can_raw_receive(int s, struct can_frame *raw, uint32_t *drops) {
    iovec data{raw, sizeof *raw};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr msg{};
    msg.msg_iov = &data;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s, &msg, MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) memcpy(drops, CMSG_DATA(c), sizeof *drops);
    return n;
}

int can_raw_send(int s, const struct can_frame &raw, int64_t deadline_ms) {
    int backoff_ms = BACKOFF_FIRST_MS;
    for (;;) {
        ssize_t n = send(s, &raw, sizeof raw, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(sizeof raw)) return 0;
        if (n >= 0) {
            errno = EIO;
            return -1;
        }
        if (errno != EINTR && errno != EAGAIN && errno != ENOBUFS) return -1;
        int e = errno;
        int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0) {
            errno = e;
            return -1;
        }
        if (e == EAGAIN) {  // the socket's own buffer: its readiness is real
            pollfd room{s, POLLOUT, 0};
            (void)poll(&room, 1, static_cast<int>(left));
        } else if (e == ENOBUFS) {
            (void)poll(nullptr, 0, static_cast<int>(std::min<int64_t>(backoff_ms, left)));
            backoff_ms = std::min(backoff_ms * 2, BACKOFF_MAX_MS);
        }
    }
}

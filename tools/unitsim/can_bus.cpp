#include "can_bus.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/can_raw_codec.h"

namespace unitsim {
namespace {

constexpr int RECEIVE_BUFFER = 1 << 20;  // a burst from the hub waits here while the unit prints
constexpr int FULL_QUEUE_TRIES = 100;    // 1 ms apart

}  // namespace

bool names_can_interface(const std::string &name) {
    return name.find('/') == std::string::npos && if_nametoindex(name.c_str()) != 0;
}

CanBus::CanBus(const std::string &interface) {
    fd_ = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "CAN socket");
    const can_filter standard_data{0, CAN_EFF_FLAG | CAN_RTR_FLAG};
    (void)setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FILTER, &standard_data, sizeof standard_data);
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER, sizeof RECEIVE_BUFFER);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(interface.c_str()));
    if (addr.can_ifindex == 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        int e = addr.can_ifindex == 0 ? ENODEV : errno;
        close(fd_);
        throw std::system_error(e, std::generic_category(), "CAN interface " + interface);
    }
}

CanBus::~CanBus() { close(fd_); }

bool CanBus::send(const CanFrame &frame) {
    can_frame raw;
    can_frame_to_raw(frame, &raw);
    for (int tries = 0; tries < FULL_QUEUE_TRIES; ++tries) {
        if (write(fd_, &raw, sizeof raw) == static_cast<ssize_t>(sizeof raw)) return true;
        if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) break;
        (void)poll(nullptr, 0, 1);  // no readiness to wait on for a full tx queue
    }
    std::fprintf(stderr, "hub-unitsim: frame %03X not sent: %s\n", static_cast<unsigned>(frame.id), std::strerror(errno));
    return false;
}

std::optional<CanFrame> CanBus::receive() {
    for (;;) {
        can_frame raw;
        ssize_t n = read(fd_, &raw, sizeof raw);
        if (n != static_cast<ssize_t>(sizeof raw)) return std::nullopt;
        CanFrame frame;
        if (can_frame_from_raw(raw, &frame) == 0) return frame;
    }
}

}  // namespace unitsim

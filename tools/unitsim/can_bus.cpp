#include "can_bus.h"

#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/can_raw_codec.h"
#include "platform/can_raw_socket.h"
#include "platform/monotonic.h"

namespace unitsim {
namespace {

constexpr int FULL_QUEUE_WAIT_MS = 100;

}  // namespace

bool names_can_interface(const std::string &name) { return can_name_kind(name.c_str()) == CanNameKind::Interface; }

CanBus::CanBus(const std::string &interface) {
    fd_ = can_raw_open(false);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "CAN socket");
    int ifindex = static_cast<int>(if_nametoindex(interface.c_str()));
    if (ifindex == 0 || can_raw_bind(fd_, ifindex) != 0) {
        int e = ifindex == 0 ? ENODEV : errno;
        close(fd_);
        throw std::system_error(e, std::generic_category(), "CAN interface " + interface);
    }
}

CanBus::~CanBus() { close(fd_); }

bool CanBus::send(const CanFrame &frame) {
    can_frame raw;
    can_frame_to_raw(frame, &raw);
    if (can_raw_send(fd_, raw, monotonic_ms() + FULL_QUEUE_WAIT_MS) == 0) return true;
    std::fprintf(stderr, "hub-unitsim: frame %03X not sent: %s\n", static_cast<unsigned>(frame.id), std::strerror(errno));
    return false;
}

std::optional<CanFrame> CanBus::receive() {
    for (;;) {
        can_frame raw;
        uint32_t drops = 0;
        if (can_raw_receive(fd_, &raw, &drops) != static_cast<ssize_t>(sizeof raw)) return std::nullopt;
        CanFrame frame;
        if (can_frame_from_raw(raw, &frame) == 0) return frame;
    }
}

}  // namespace unitsim

// The simulated unit's seat on a SocketCAN bus: a raw CAN socket on an
// interface (vcan0, can1), opened, filtered and written as the hub does
// (platform/can_raw_socket.h), the frames mapped by the hub's own codec.
#pragma once

#include <optional>
#include <string>

#include "can/can_frame.h"

namespace unitsim {

// True when `name` stands for a CAN interface by the hub's own rule; any
// other name is the path of the device socket the unit listens on.
bool names_can_interface(const std::string &name);

class CanBus {
public:
    // Bound to `interface`; throws std::system_error when it cannot be.
    explicit CanBus(const std::string &interface);
    ~CanBus();
    CanBus(const CanBus &) = delete;
    CanBus &operator=(const CanBus &) = delete;

    // Readable while a frame is waiting.
    int fd() const { return fd_; }
    // Sends one frame, waiting briefly while the interface's queue is full;
    // false (said on standard error) when it could not.
    bool send(const CanFrame &frame);
    // The next waiting standard data frame, without blocking.
    std::optional<CanFrame> receive();

private:
    int fd_ = -1;
};

}  // namespace unitsim

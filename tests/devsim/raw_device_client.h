// The hub's side of a device socket, spoken by hand: the simulator's tests
// connect with this instead of the hub, so they check the protocol itself.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "devsim/device_packets.h"

class RawDeviceClient {
public:
    RawDeviceClient() = default;
    ~RawDeviceClient() { close(); }
    RawDeviceClient(const RawDeviceClient &) = delete;
    RawDeviceClient &operator=(const RawDeviceClient &) = delete;

    // 0, or the errno of the failed connect.
    int connect(const std::string &path);
    void close();

    bool send(const devsim::Bytes &packet);
    // Without blocking: false when the socket takes no more (EAGAIN).
    bool try_send(const devsim::Bytes &packet);
    // The next packet; nullopt on timeout or end of connection (see hung_up).
    std::optional<devsim::Bytes> receive(std::chrono::milliseconds timeout);
    // Waits for the device to close its end.
    bool wait_hang_up(std::chrono::milliseconds timeout);
    bool hung_up() const { return hung_up_; }

    // One request and its answer.
    std::optional<devsim::ResultPacket> ioctl(uint32_t request, const devsim::Bytes &arg,
                                              std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

private:
    int fd_ = -1;
    bool hung_up_ = false;
};

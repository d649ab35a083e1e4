// Hands the simulated devices' events from their I/O threads to the main
// loop: the observers push, an eventfd wakes the loop's poll, the loop takes
// everything at once. Each event carries the wall-clock time it happened.
#pragma once

#include <time.h>

#include <deque>
#include <mutex>
#include <vector>

#include "devsim/device_server.h"

namespace unitsim {

enum class Device { Can, Gpio };

struct DeviceNews {
    Device device;
    devsim::DeviceEvent event;
    timespec at;  // CLOCK_REALTIME
};

class DeviceInbox {
public:
    DeviceInbox();  // throws std::system_error when the eventfd cannot be made
    ~DeviceInbox();
    DeviceInbox(const DeviceInbox &) = delete;
    DeviceInbox &operator=(const DeviceInbox &) = delete;

    // An observer for one device; runs on that device's I/O thread.
    devsim::DeviceObserver observer(Device device);
    // Readable while news is waiting.
    int fd() const { return fd_; }
    std::vector<DeviceNews> take();

private:
    void push(DeviceNews news);

    int fd_ = -1;
    std::mutex mutex_;
    std::deque<DeviceNews> news_;
};

}  // namespace unitsim

// Inside the device layer: one table of operations per backend (character
// device, device socket, SocketCAN) and the slot of the descriptor table
// that each open device holds. device.cpp finds the slot of a descriptor and
// calls its backend; only the backends include this header.
#pragma once

#include <linux/can.h>
#include <net/if.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/un.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/device.h"

struct DeviceSlot;

struct DeviceOps {
    // Opens slot.name; returns the descriptor or -1 with errno set.
    int (*open)(DeviceSlot &slot);
    ssize_t (*read)(DeviceSlot &slot, int fd, void *buf, size_t len);
    ssize_t (*write)(DeviceSlot &slot, int fd, const void *buf, size_t len, int64_t deadline_ms);
    int (*poll)(DeviceSlot &slot, struct pollfd *entry, int timeout_ms);
    int (*ioctl)(DeviceSlot &slot, int fd, unsigned long request, void *arg);
    int (*recover)(DeviceSlot &slot, int fd);
    int (*close)(DeviceSlot &slot, int fd);
};

extern const DeviceOps char_device_ops;
extern const DeviceOps device_socket_ops;
extern const DeviceOps socketcan_ops;

constexpr size_t DEVICE_FRAME_SIZE = 16;
constexpr int64_t NO_DEADLINE = INT64_MAX;

// What a device socket keeps between calls.
struct DeviceSocketState {
    static constexpr size_t KEPT_FRAMES = 256;  // frames that arrive while an ioctl waits
    sockaddr_un addr{};
    uint8_t kept[KEPT_FRAMES][DEVICE_FRAME_SIZE];
    size_t kept_head = 0;
    size_t kept_count = 0;
    unsigned stale_answers = 0;  // answers still owed to ioctls that timed out
};

// What a SocketCAN interface keeps between calls: the states last said, so
// each change is said once.
struct CanInterfaceState {
    int last_ifindex = 0;               // under the slot's lock; 0 until first bound
    std::atomic<int> link{0};           // a LinkState of socketcan.cpp
    std::atomic<int> controller{0};     // a ControllerState of socketcan.cpp
    bool no_ack_said = false;           // reader's
    bool overrun_said = false;          // reader's
    bool strange_said = false;          // reader's
    uint32_t kernel_drops = 0;          // reader's: the socket's drop count last seen
    bool tx_full_said = false;          // writer's
    std::atomic<int64_t> last_look_ms{0};  // monotonic_ms of the last look at the interface
};

struct DeviceSlot {
    std::atomic<int> fd{-1};
    const DeviceOps *ops = nullptr;
    DeviceKind kind = DeviceKind::Can;
    char name[sizeof(sockaddr_un::sun_path)] = {};  // path or interface name
    // Taken by a backend where two threads meet on one device: a device
    // socket's ioctl round trip against its reads, a SocketCAN rebinding.
    std::mutex lock;
    DeviceSocketState sock;
    CanInterfaceState can;
};

// Waits `ms` milliseconds.
void wait_ms(int ms);

// Waits for POLLOUT on `fd`; false with ETIMEDOUT when the deadline came first.
bool wait_writable(int fd, int64_t deadline_ms);

// The request numbers of the board's devices and the size of the object each
// request's argument points to: the hub, the device-socket backend and the
// device simulator all take them from here.
#pragma once

#include <cstddef>
#include <cstdint>

enum class DeviceKind { Can, Gpio };

// CAN controller: the status word, an int32 the driver fills in; 0 once the
// controller is initialised (on SocketCAN: while the interface is up and running).
constexpr unsigned long CAN_STATUS_REQUEST = 0;
constexpr int32_t CAN_STATUS_READY = 0;
constexpr int32_t CAN_STATUS_NOT_READY = 1;

// GPIO device.
constexpr unsigned long GPIO_READ_WORD = 0;         // 8 bytes out: word0, output bits
constexpr unsigned long GPIO_WRITE_WORD = 1;        // 8 bytes in: the second word becomes the bits
constexpr unsigned long GPIO_READ_TEMPERATURE = 3;  // 1 byte out
constexpr unsigned long GPIO_SET_BITS = 7;          // u32 mask: bits |= mask
constexpr unsigned long GPIO_RESET_BITS = 8;        // u32 mask: bits &= ~mask

// Bytes of the argument object of `request`, or -1 for a request the device
// does not know.
constexpr int device_request_arg_size(DeviceKind kind, unsigned long request) {
    if (kind == DeviceKind::Can) return request == CAN_STATUS_REQUEST ? 4 : -1;
    switch (request) {
    case GPIO_READ_WORD:
    case GPIO_WRITE_WORD: return 8;
    case GPIO_READ_TEMPERATURE: return 1;
    case GPIO_SET_BITS:
    case GPIO_RESET_BITS: return 4;
    default: return -1;
    }
}

constexpr size_t DEVICE_REQUEST_ARG_MAX = 8;  // the largest of them

// The packets of a device socket (see docs/device-sockets.md), encoded and
// decoded into the caller's buffers. Both ends run on one host, so integers
// travel in host byte order. Pure functions, no I/O, no allocation: shared by
// the hub's device-socket backend and the device simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "can/can_frame.h"

namespace devpacket {

// The kind byte that starts every packet.
enum Kind : uint8_t {
    WRITE = 'W',   // hub -> device: one CanFrame written
    IOCTL = 'I',   // hub -> device: u32 request, then the argument bytes
    RESULT = 'R',  // device -> hub: i32 result, then the argument bytes
    FRAME = 'F',   // device -> hub: one CanFrame received
};

constexpr size_t FRAME_PACKET_SIZE = 1 + sizeof(CanFrame);
constexpr size_t WORD_HEADER_SIZE = 1 + sizeof(uint32_t);  // 'I' and 'R'
constexpr size_t PACKET_MAX = 64;  // no packet of either side is longer

struct Ioctl {
    uint32_t request;
    std::span<const uint8_t> arg;  // points into the packet
};

struct Result {
    int32_t result;
    std::span<const uint8_t> arg;  // points into the packet
};

// Each encoder returns the packet's size, or 0 when `out` is too small.
size_t encode_write(const CanFrame &frame, std::span<uint8_t> out);
size_t encode_frame(const CanFrame &frame, std::span<uint8_t> out);
size_t encode_ioctl(uint32_t request, std::span<const uint8_t> arg, std::span<uint8_t> out);
size_t encode_result(int32_t result, std::span<const uint8_t> arg, std::span<uint8_t> out);

// Each decoder checks the kind byte and the size; nullopt when either is wrong.
std::optional<CanFrame> decode_write(std::span<const uint8_t> packet);
std::optional<CanFrame> decode_frame(std::span<const uint8_t> packet);
std::optional<Ioctl> decode_ioctl(std::span<const uint8_t> packet);
std::optional<Result> decode_result(std::span<const uint8_t> packet);

}  // namespace devpacket

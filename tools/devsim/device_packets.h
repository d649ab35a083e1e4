// The packets of a device socket, encoded and decoded. The simulator runs on
// the hub's own host, so integers travel in host byte order (a memcpy of the
// value). Pure functions: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "can/can_frame.h"

namespace devsim {

using Bytes = std::vector<uint8_t>;

// The kind byte that starts every packet.
enum PacketKind : uint8_t {
    PACKET_WRITE = 'W',    // hub -> device: one CanFrame written
    PACKET_IOCTL = 'I',    // hub -> device: u32 request, then the argument bytes
    PACKET_RESULT = 'R',   // device -> hub: i32 result, then the argument bytes
    PACKET_FRAME = 'F',    // device -> hub: one CanFrame received
};

constexpr size_t FRAME_PACKET_SIZE = 1 + sizeof(CanFrame);
constexpr size_t IOCTL_HEADER_SIZE = 1 + sizeof(uint32_t);
constexpr size_t RESULT_HEADER_SIZE = 1 + sizeof(int32_t);

// One request as the device received it.
struct IoctlPacket {
    uint32_t request;
    Bytes arg;
};

// One answer as the device sends it.
struct ResultPacket {
    int32_t result;
    Bytes arg;
};

Bytes encode_write(const CanFrame &frame);
Bytes encode_frame(const CanFrame &frame);
Bytes encode_ioctl(uint32_t request, std::span<const uint8_t> arg);
Bytes encode_result(int32_t result, std::span<const uint8_t> arg);

// Each decoder checks the kind byte and the size; nullopt when either is wrong.
std::optional<CanFrame> decode_write(std::span<const uint8_t> packet);
std::optional<CanFrame> decode_frame(std::span<const uint8_t> packet);
std::optional<IoctlPacket> decode_ioctl(std::span<const uint8_t> packet);
std::optional<ResultPacket> decode_result(std::span<const uint8_t> packet);

// Host-order words inside argument bytes (the GPIO record, masks, the status word).
uint32_t arg_u32(std::span<const uint8_t> arg, size_t offset);
void set_arg_u32(Bytes &arg, size_t offset, uint32_t value);
Bytes u32_arg(std::initializer_list<uint32_t> words);

}  // namespace devsim

#include "devsim/device_packets.h"

#include <cstring>

namespace devsim {
namespace {

Bytes frame_packet(uint8_t kind, const CanFrame &frame) {
    Bytes packet(FRAME_PACKET_SIZE);
    packet[0] = kind;
    std::memcpy(packet.data() + 1, &frame, sizeof frame);
    return packet;
}

std::optional<CanFrame> frame_of(uint8_t kind, std::span<const uint8_t> packet) {
    if (packet.size() != FRAME_PACKET_SIZE || packet[0] != kind) return std::nullopt;
    CanFrame frame;
    std::memcpy(&frame, packet.data() + 1, sizeof frame);
    return frame;
}

// 'I' and 'R' share a layout: kind, one 32-bit word, argument bytes.
Bytes word_packet(uint8_t kind, uint32_t word, std::span<const uint8_t> arg) {
    Bytes packet(1 + sizeof word + arg.size());
    packet[0] = kind;
    std::memcpy(packet.data() + 1, &word, sizeof word);
    if (!arg.empty()) std::memcpy(packet.data() + 1 + sizeof word, arg.data(), arg.size());
    return packet;
}

}  // namespace

Bytes encode_write(const CanFrame &frame) { return frame_packet(PACKET_WRITE, frame); }
Bytes encode_frame(const CanFrame &frame) { return frame_packet(PACKET_FRAME, frame); }

Bytes encode_ioctl(uint32_t request, std::span<const uint8_t> arg) {
    return word_packet(PACKET_IOCTL, request, arg);
}

Bytes encode_result(int32_t result, std::span<const uint8_t> arg) {
    uint32_t word;
    std::memcpy(&word, &result, sizeof word);
    return word_packet(PACKET_RESULT, word, arg);
}

std::optional<CanFrame> decode_write(std::span<const uint8_t> packet) { return frame_of(PACKET_WRITE, packet); }
std::optional<CanFrame> decode_frame(std::span<const uint8_t> packet) { return frame_of(PACKET_FRAME, packet); }

std::optional<IoctlPacket> decode_ioctl(std::span<const uint8_t> packet) {
    if (packet.size() < IOCTL_HEADER_SIZE || packet[0] != PACKET_IOCTL) return std::nullopt;
    IoctlPacket out;
    std::memcpy(&out.request, packet.data() + 1, sizeof out.request);
    out.arg.assign(packet.begin() + IOCTL_HEADER_SIZE, packet.end());
    return out;
}

std::optional<ResultPacket> decode_result(std::span<const uint8_t> packet) {
    if (packet.size() < RESULT_HEADER_SIZE || packet[0] != PACKET_RESULT) return std::nullopt;
    ResultPacket out;
    std::memcpy(&out.result, packet.data() + 1, sizeof out.result);
    out.arg.assign(packet.begin() + RESULT_HEADER_SIZE, packet.end());
    return out;
}

uint32_t arg_u32(std::span<const uint8_t> arg, size_t offset) {
    uint32_t value = 0;
    if (offset + sizeof value <= arg.size()) std::memcpy(&value, arg.data() + offset, sizeof value);
    return value;
}

void set_arg_u32(Bytes &arg, size_t offset, uint32_t value) {
    if (arg.size() < offset + sizeof value) arg.resize(offset + sizeof value);
    std::memcpy(arg.data() + offset, &value, sizeof value);
}

Bytes u32_arg(std::initializer_list<uint32_t> words) {
    Bytes arg;
    size_t offset = 0;
    for (uint32_t w : words) {
        set_arg_u32(arg, offset, w);
        offset += sizeof w;
    }
    return arg;
}

}  // namespace devsim

#include "platform/device_packets.h"

#include <cstring>

namespace devpacket {
namespace {

size_t frame_packet(uint8_t kind, const CanFrame &frame, std::span<uint8_t> out) {
    if (out.size() < FRAME_PACKET_SIZE) return 0;
    out[0] = kind;
    std::memcpy(out.data() + 1, &frame, sizeof frame);
    return FRAME_PACKET_SIZE;
}

std::optional<CanFrame> frame_of(uint8_t kind, std::span<const uint8_t> packet) {
    if (packet.size() != FRAME_PACKET_SIZE || packet[0] != kind) return std::nullopt;
    CanFrame frame;
    std::memcpy(&frame, packet.data() + 1, sizeof frame);
    return frame;
}

// 'I' and 'R' share a layout: kind, one 32-bit word, argument bytes.
size_t word_packet(uint8_t kind, uint32_t word, std::span<const uint8_t> arg, std::span<uint8_t> out) {
    size_t size = WORD_HEADER_SIZE + arg.size();
    if (out.size() < size) return 0;
    out[0] = kind;
    std::memcpy(out.data() + 1, &word, sizeof word);
    if (!arg.empty()) std::memcpy(out.data() + WORD_HEADER_SIZE, arg.data(), arg.size());
    return size;
}

std::optional<uint32_t> word_of(uint8_t kind, std::span<const uint8_t> packet) {
    if (packet.size() < WORD_HEADER_SIZE || packet[0] != kind) return std::nullopt;
    uint32_t word;
    std::memcpy(&word, packet.data() + 1, sizeof word);
    return word;
}

}  // namespace

size_t encode_write(const CanFrame &frame, std::span<uint8_t> out) { return frame_packet(WRITE, frame, out); }
size_t encode_frame(const CanFrame &frame, std::span<uint8_t> out) { return frame_packet(FRAME, frame, out); }

size_t encode_ioctl(uint32_t request, std::span<const uint8_t> arg, std::span<uint8_t> out) {
    return word_packet(IOCTL, request, arg, out);
}

size_t encode_result(int32_t result, std::span<const uint8_t> arg, std::span<uint8_t> out) {
    uint32_t word;
    std::memcpy(&word, &result, sizeof word);
    return word_packet(RESULT, word, arg, out);
}

std::optional<CanFrame> decode_write(std::span<const uint8_t> packet) { return frame_of(WRITE, packet); }
std::optional<CanFrame> decode_frame(std::span<const uint8_t> packet) { return frame_of(FRAME, packet); }

std::optional<Ioctl> decode_ioctl(std::span<const uint8_t> packet) {
    auto word = word_of(IOCTL, packet);
    if (!word) return std::nullopt;
    return Ioctl{*word, packet.subspan(WORD_HEADER_SIZE)};
}

std::optional<Result> decode_result(std::span<const uint8_t> packet) {
    auto word = word_of(RESULT, packet);
    if (!word) return std::nullopt;
    int32_t result;
    std::memcpy(&result, &*word, sizeof result);
    return Result{result, packet.subspan(WORD_HEADER_SIZE)};
}

}  // namespace devpacket

#include "devsim/packet_text.h"

#include <cstdio>

#include "can/frame_text.h"

namespace devsim {
namespace {

std::string hex_bytes(std::span<const uint8_t> bytes, size_t from) {
    std::string out;
    char two[4];
    for (size_t i = from; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(bytes[i]));
        if (!out.empty()) out += ' ';
        out += two;
    }
    return out;
}

std::string packet_text(const Bytes &packet, long seconds, long micros) {
    char text[FRAME_TEXT_MAX + 64];
    if (auto frame = decode_write(packet); frame) {
        frame_to_candump(text, sizeof text, seconds, micros, "can0", *frame);
        return std::string("W ") + text;
    }
    if (auto frame = decode_frame(packet); frame) {
        frame_to_candump(text, sizeof text, seconds, micros, "can0", *frame);
        return std::string("F ") + text;
    }
    if (auto request = decode_ioctl(packet); request) {
        std::snprintf(text, sizeof text, "I request=%u arg=", static_cast<unsigned>(request->request));
        return text + hex_bytes(request->arg, 0);
    }
    if (auto result = decode_result(packet); result) {
        std::snprintf(text, sizeof text, "R result=%d arg=", static_cast<int>(result->result));
        return text + hex_bytes(result->arg, 0);
    }
    return "? " + hex_bytes(packet, 0);
}

}  // namespace

std::string event_line(const char *device, const DeviceEvent &event, long seconds, long micros) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%-4s ", device);
    std::string line = prefix;
    switch (event.type) {
    case DeviceEvent::Type::Connected:
        return line + "connected";
    case DeviceEvent::Type::Disconnected:
        return line + "disconnected";
    case DeviceEvent::Type::PacketIn:
    case DeviceEvent::Type::PacketOut:
        return line + packet_text(event.packet, seconds, micros);
    case DeviceEvent::Type::Dropped:
        return line + "dropped " + packet_text(event.packet, seconds, micros);
    case DeviceEvent::Type::Malformed:
        return line + "malformed " + hex_bytes(event.packet, 0);
    }
    return line;
}

}  // namespace devsim

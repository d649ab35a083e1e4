// The CAN frame record exactly as the SJA1000 driver reads and writes it, and
// the layout of the 11-bit identifier. Pure definitions: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

struct CanFrame {
    uint32_t id;     // 11-bit identifier, host byte order (the driver's)
    uint8_t length;  // valid data bytes, 0..8 on a real bus
    uint8_t data[8];
    uint8_t pad[3];  // never interpreted
};

static_assert(sizeof(CanFrame) == 16, "the driver reads and writes 16-byte records");
static_assert(offsetof(CanFrame, id) == 0);
static_assert(offsetof(CanFrame, length) == 4);
static_assert(offsetof(CanFrame, data) == 5);
static_assert(offsetof(CanFrame, pad) == 13);

constexpr uint32_t CAN_NODE_MASK = 0x007;
constexpr uint32_t CAN_COMMAND_MASK = 0x078;
constexpr uint32_t CAN_FUNCTION_MASK = 0x780;
constexpr uint32_t CAN_STATE_COMMAND_MASK = 0x038;  // bit 6 is not part of a state command

constexpr uint32_t NODE_DISPLAY = 3;
constexpr uint32_t NODE_CPU = 7;

constexpr uint32_t FUNC_STATE_COMMAND = 0x000;
constexpr uint32_t FUNC_PDM_REQUEST = 0x100;
constexpr uint32_t FUNC_NODE_PDM = 0x200;
constexpr uint32_t FUNC_HUB_PDM = 0x280;

constexpr uint32_t ID_HUB_TO_CPU = 0x287;
constexpr uint32_t ID_HUB_TO_DISPLAY = 0x283;      // never sent, never traced
constexpr uint32_t ID_CPU_PDM_REQUEST = 0x107;     // not traced by the reader
constexpr uint32_t ID_DISPLAY_PDM_REQUEST = 0x103; // not traced by the reader

// Command codes of FUNC_NODE_PDM messages.
constexpr uint32_t CMD_DISPLAY_LINE = 0x08;
constexpr uint32_t CMD_EXAM_PARAM = 0x10;
constexpr uint32_t CMD_EXAM_STATUS = 0x18;
constexpr uint32_t CMD_CLEAR_DISPLAY = 0x20;
constexpr uint32_t CMD_VERSION = 0x30;
constexpr uint32_t CMD_TEST_SEL = 0x38;
constexpr uint32_t CMD_ETHERNET = 0x40;
constexpr uint32_t CMD_DATE_TIME = 0x60;

// Message codes (data[0]) of the frames the hub sends to the CPU node.
constexpr uint8_t MSG_PDM_REPLY = 0;
constexpr uint8_t MSG_VERSION_REPLY = 2;
constexpr uint8_t MSG_CHANGE_EXAM = 17;
constexpr uint8_t MSG_CHANGE_KV_MA = 18;
constexpr uint8_t MSG_CHANGE_PAT_TYPE = 19;
constexpr uint8_t MSG_CHANGE_PAT_SIZE = 20;
constexpr uint8_t MSG_CHANGE_PAT_DENT = 21;
constexpr uint8_t MSG_ACK = 22;
constexpr uint8_t MSG_LOCK_KBD = 23;

// Items named by an acknowledge frame.
constexpr uint8_t ACK_LINE0 = 0;
constexpr uint8_t ACK_LINE1 = 1;
constexpr uint8_t ACK_EXAM_PARAM = 2;
constexpr uint8_t ACK_EXAM_STATUS = 3;
constexpr uint8_t ACK_TEST_SEL = 4;

constexpr uint32_t can_node(uint32_t id) { return id & CAN_NODE_MASK; }
constexpr uint32_t can_command(uint32_t id) { return id & CAN_COMMAND_MASK; }
constexpr uint32_t can_function(uint32_t id) { return id & CAN_FUNCTION_MASK; }
constexpr uint8_t can_state_command(uint32_t id) { return static_cast<uint8_t>(id & CAN_STATE_COMMAND_MASK); }

// Data bytes a frame really carries: a length above 8 cannot occur on a bus
// and is clamped wherever data bytes are copied or traced.
constexpr unsigned can_data_length(const CanFrame &f) { return f.length > 8 ? 8u : f.length; }

// A frame for the CPU node: id 0x287, the given bytes as data[0..], length
// their count. Bytes past the length stay zero.
inline CanFrame can_frame_to_cpu(std::initializer_list<uint8_t> bytes) {
    CanFrame f{};
    f.id = ID_HUB_TO_CPU;
    for (uint8_t b : bytes) {
        if (f.length == sizeof f.data) break;
        f.data[f.length++] = b;
    }
    return f;
}

// The two records of the PC link, byte for byte as they travel: the 72-byte
// hub-to-PC record and the 20-byte PC-to-hub record. Every 16-bit field is
// little-endian on the wire except the hub-to-PC checksum, which is
// big-endian. Pure codec: no I/O, no host byte order assumed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t HUB_TO_PC_SIZE = 72;
constexpr size_t PC_TO_HUB_SIZE = 20;

// Offsets in the hub-to-PC record.
namespace hub_to_pc {
constexpr size_t MsgType = 0;
constexpr size_t Word6 = 6;
constexpr size_t Word8 = 8;
constexpr size_t Word10 = 10;
constexpr size_t ExamStatus = 12;
constexpr size_t Byte13 = 13;
constexpr size_t Byte14 = 14;
constexpr size_t Byte15 = 15;
constexpr size_t Byte16 = 16;
constexpr size_t Byte17 = 17;
constexpr size_t Line0 = 22;
constexpr size_t Line1 = 38;
constexpr size_t LineWidth = 16;
constexpr size_t Year = 54;
constexpr size_t Month = 56;
constexpr size_t Day = 58;
constexpr size_t Hour = 59;
constexpr size_t Minute = 60;
constexpr size_t Second = 61;
constexpr size_t Model = 62;
constexpr size_t ModelWidth = 8;
constexpr size_t Checksum = 70;
static_assert(Line1 == Line0 + LineWidth && Year == Line1 + LineWidth);
static_assert(Checksum == Model + ModelWidth && Checksum + 2 == HUB_TO_PC_SIZE);
}  // namespace hub_to_pc

// Message types of the hub-to-PC record.
enum HubMsgType : uint16_t {
    MSG_TYPE_WATCHDOG = 0,
    MSG_TYPE_LINE0 = 1,
    MSG_TYPE_LINE1 = 2,
    MSG_TYPE_DATE_TIME = 3,
    MSG_TYPE_EXAM_STATUS = 4,
    MSG_TYPE_EXAM_PARAM = 5,
    MSG_TYPE_TEST_SEL = 6,
};

// Offsets in the PC-to-hub record.
namespace pc_to_hub {
constexpr size_t Event = 0;
constexpr size_t PCStatus = 2;
constexpr size_t SelFamily = 8;
constexpr size_t SelExam = 10;
constexpr size_t kV = 12;
constexpr size_t mA = 13;
constexpr size_t SelPatType = 14;
constexpr size_t SelPatSize = 15;
constexpr size_t SelPatDent = 16;
}  // namespace pc_to_hub

// A received PC-to-hub record, its 16-bit fields in host values.
struct PcToHub {
    uint16_t Event;
    uint16_t PCStatus;
    uint16_t SelFamily;
    uint16_t SelExam;
    uint8_t kV;
    uint8_t mA;
    uint8_t SelPatType;
    uint8_t SelPatSize;
    uint8_t SelPatDent;
};

// PC event codes.
enum PcEvent : uint16_t {
    PC_WATCHDOG = 0,
    PC_CLOSE_SOCKET = 1,
    PC_CHANGE_EXAM = 2,
    PC_CHANGE_KV_MA = 3,
    PC_CHANGE_FAMILY = 4,
    PC_CHANGE_PAT_TYPE = 5,
    PC_CHANGE_PAT_SIZE = 6,
    PC_CHANGE_PAT_DENT = 7,
    PC_REQ_TIME_START = 8,
    PC_SET_LAST_CAL_TIME = 9,
    PC_REQ_LAST_CAL_TIME = 10,
    PC_LOCK_KEYBORD = 11,
    PC_UNLOCK_KEYBORD = 12,
    PC_DEBUG_RX_ON = 100,
    PC_DEBUG_RX_OFF = 101,
};

inline void put_le16(uint8_t *rec, size_t off, uint16_t v) {
    rec[off] = static_cast<uint8_t>(v & 0xFF);
    rec[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t get_le16(const uint8_t *rec, size_t off) {
    return static_cast<uint16_t>(rec[off] | (rec[off + 1] << 8));
}
inline uint16_t get_be16(const uint8_t *rec, size_t off) {
    return static_cast<uint16_t>((rec[off] << 8) | rec[off + 1]);
}

// Sum of the nine big-endian words at 0, 8, ..., 64, low 16 bits.
uint16_t hub_to_pc_checksum(const uint8_t *rec);

// Computes the checksum and stores it high byte first at offset 70.
void hub_to_pc_seal(uint8_t *rec);

// Decodes the nine fields of a PC-to-hub record (reserved bytes skipped).
PcToHub pc_to_hub_decode(const uint8_t *rec);

// Encodes a PC-to-hub record (the PC's side; used by tools and tests).
void pc_to_hub_encode(const PcToHub &msg, uint8_t *rec);

// The event's name as the traces spell it, or nullptr for an unknown code.
const char *pc_event_name(uint16_t event);

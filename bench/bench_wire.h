// The wire formats the benchmark speaks, byte by byte: device-socket packets
// carrying 16-byte CAN frame records (host byte order, as the hub's driver
// record), the 72-byte hub-to-PC record and the 20-byte PC-to-hub record.
// Written here independently of the hub's sources, as any PC client would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace bench {

constexpr size_t FRAME_SIZE = 16;
constexpr size_t PKT_FRAME_SIZE = 1 + FRAME_SIZE;  // kind byte + frame
constexpr size_t HUB_TO_PC_SIZE = 72;
constexpr size_t PC_TO_HUB_SIZE = 20;

constexpr uint8_t PKT_WRITE = 'W';
constexpr uint8_t PKT_IOCTL = 'I';
constexpr uint8_t PKT_RESULT = 'R';
constexpr uint8_t PKT_FRAME = 'F';

constexpr uint32_t ID_EXAM_PARAM = 0x217;
constexpr uint32_t ID_TEST_SEL = 0x23F;
constexpr uint32_t ID_HUB_TO_CPU = 0x287;

constexpr uint8_t MSG_CHANGE_KV_MA = 0x12;
constexpr uint8_t MSG_ACK = 0x16;
constexpr uint8_t ACK_EXAM_PARAM = 0x02;
constexpr uint8_t ACK_TEST_SEL = 0x04;

constexpr uint16_t REC_WATCHDOG = 0;
constexpr uint16_t REC_EXAM_PARAM = 5;
constexpr uint16_t REC_TEST_SEL = 6;

constexpr uint16_t PC_WATCHDOG = 0;
constexpr uint16_t PC_CHANGE_KV_MA = 3;

struct Frame {
    uint32_t id = 0;
    uint8_t length = 0;
    uint8_t data[8] = {};
};

// 'F' or 'W' packet: kind byte, then the 16-byte record (id in host order).
void put_frame_packet(uint8_t *pkt, uint8_t kind, const Frame &f);
Frame get_frame_packet(const uint8_t *pkt);

// The exam-parameter frame that carries `seq` in data[0..3]; the hub copies
// data[0], data[1] and the big-endian word data[2..3] into the record.
Frame exam_param_frame(uint32_t seq);
// The sequence number back from a type-5 record (32 bits), and whether the
// fixed bytes 15..17 came through unchanged.
uint32_t exam_param_seq(const uint8_t *rec);
bool exam_param_fixed_ok(const uint8_t *rec);

// The record the relay under the floor measurement sends for an exam frame,
// laid out as the hub lays out its type-5 record.
void exam_param_record(uint8_t *rec, const Frame &f);

// The PC's kV/mA command carrying the 16-bit `seq` as kV (low byte) and mA.
void kv_ma_record(uint8_t *rec, uint16_t seq, uint16_t pc_status);
void watchdog_record(uint8_t *rec, uint16_t pc_status);

inline uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Hub-to-PC checksum: the low 16 bits of the sum of the big-endian words at
// 0, 8, ..., 64; stored high byte first at 70.
uint16_t record_checksum(const uint8_t *rec);
bool record_checksum_ok(const uint8_t *rec);
void record_seal(uint8_t *rec);

inline int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace bench

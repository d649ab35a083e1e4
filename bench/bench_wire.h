// What the benchmark puts on the wires and reads back. The PC records come
// from the hub's own codec (pc/pc_records.h); here are the device-socket
// packets carrying 16-byte CAN frame records (host byte order, as the hub's
// driver record) and the benchmark's use of the records: a sequence number
// carried through every exam frame into its record, and in every kV/mA
// command into its frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "pc/pc_records.h"

namespace bench {

constexpr size_t FRAME_SIZE = 16;
constexpr size_t PKT_FRAME_SIZE = 1 + FRAME_SIZE;  // kind byte + frame

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

// The record the floor sends for an exam frame, laid out as the hub lays
// out its type-5 record, and the acknowledgement it writes back.
void exam_param_record(uint8_t *rec, const Frame &f);
Frame exam_param_ack();

// The PC's kV/mA command carrying the 16-bit `seq` as kV (low byte) and mA.
void kv_ma_record(uint8_t *rec, uint16_t seq, uint16_t pc_status);
void watchdog_record(uint8_t *rec, uint16_t pc_status);
// The command frame the floor writes for a kV/mA record.
Frame kv_ma_frame(const uint8_t *rec);

bool record_checksum_ok(const uint8_t *rec);

inline int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace bench

#include "bench_wire.h"

#include <cstring>

namespace bench {

void put_frame_packet(uint8_t *pkt, uint8_t kind, const Frame &f) {
    pkt[0] = kind;
    memcpy(pkt + 1, &f.id, 4);  // host order, as the driver's record
    pkt[5] = f.length;
    memcpy(pkt + 6, f.data, 8);
    pkt[14] = pkt[15] = pkt[16] = 0;
}

Frame get_frame_packet(const uint8_t *pkt) {
    Frame f;
    memcpy(&f.id, pkt + 1, 4);
    f.length = pkt[5];
    memcpy(f.data, pkt + 6, 8);
    return f;
}

Frame exam_param_frame(uint32_t seq) {
    Frame f;
    f.id = ID_EXAM_PARAM;
    f.length = 8;
    f.data[0] = static_cast<uint8_t>(seq & 0xFF);
    f.data[1] = static_cast<uint8_t>((seq >> 8) & 0xFF);
    f.data[2] = static_cast<uint8_t>((seq >> 24) & 0xFF);
    f.data[3] = static_cast<uint8_t>((seq >> 16) & 0xFF);
    f.data[4] = 0xA5;
    f.data[5] = 0x5A;
    f.data[6] = 0x3C;
    f.data[7] = 0x00;
    return f;
}

// Byte13 = data[0], Byte14 = data[1], Word6 (little-endian at 6) = the
// big-endian word data[2..3], Byte15..17 = data[4..6].
uint32_t exam_param_seq(const uint8_t *rec) {
    uint32_t word6 = le16(rec + 6);
    return static_cast<uint32_t>(rec[13]) | (static_cast<uint32_t>(rec[14]) << 8) | ((word6 & 0xFF) << 16) |
           ((word6 >> 8) << 24);
}

bool exam_param_fixed_ok(const uint8_t *rec) { return rec[15] == 0xA5 && rec[16] == 0x5A && rec[17] == 0x3C; }

void exam_param_record(uint8_t *rec, const Frame &f) {
    memset(rec, 0, HUB_TO_PC_SIZE);
    put_le16(rec + 0, REC_EXAM_PARAM);
    rec[13] = f.data[0];
    rec[14] = f.data[1];
    put_le16(rec + 6, be16(f.data + 2));
    rec[15] = f.data[4];
    rec[16] = f.data[5];
    rec[17] = f.data[6];
    record_seal(rec);
}

void kv_ma_record(uint8_t *rec, uint16_t seq, uint16_t pc_status) {
    memset(rec, 0, PC_TO_HUB_SIZE);
    put_le16(rec + 0, PC_CHANGE_KV_MA);
    put_le16(rec + 2, pc_status);
    rec[12] = static_cast<uint8_t>(seq & 0xFF);  // kV
    rec[13] = static_cast<uint8_t>(seq >> 8);    // mA
}

void watchdog_record(uint8_t *rec, uint16_t pc_status) {
    memset(rec, 0, PC_TO_HUB_SIZE);
    put_le16(rec + 0, PC_WATCHDOG);
    put_le16(rec + 2, pc_status);
}

uint16_t record_checksum(const uint8_t *rec) {
    uint16_t sum = 0;
    for (size_t k = 0; k < HUB_TO_PC_SIZE - 2; k += 8) sum = static_cast<uint16_t>(sum + be16(rec + k));
    return sum;
}

bool record_checksum_ok(const uint8_t *rec) { return record_checksum(rec) == be16(rec + 70); }

void record_seal(uint8_t *rec) {
    uint16_t sum = record_checksum(rec);
    rec[70] = static_cast<uint8_t>(sum >> 8);
    rec[71] = static_cast<uint8_t>(sum & 0xFF);
}

}  // namespace bench

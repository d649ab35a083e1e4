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

// Byte13 = data[0], Byte14 = data[1], Word6 = the big-endian word data[2..3],
// Byte15..17 = data[4..6].
uint32_t exam_param_seq(const uint8_t *rec) {
    using namespace hub_to_pc;
    const uint32_t word6 = get_le16(rec, Word6);
    return static_cast<uint32_t>(rec[Byte13]) | (static_cast<uint32_t>(rec[Byte14]) << 8) | ((word6 & 0xFF) << 16) |
           ((word6 >> 8) << 24);
}

bool exam_param_fixed_ok(const uint8_t *rec) {
    using namespace hub_to_pc;
    return rec[Byte15] == 0xA5 && rec[Byte16] == 0x5A && rec[Byte17] == 0x3C;
}

void exam_param_record(uint8_t *rec, const Frame &f) {
    using namespace hub_to_pc;
    memset(rec, 0, HUB_TO_PC_SIZE);
    put_le16(rec, MsgType, MSG_TYPE_EXAM_PARAM);
    rec[Byte13] = f.data[0];
    rec[Byte14] = f.data[1];
    put_le16(rec, Word6, get_be16(f.data, 2));
    rec[Byte15] = f.data[4];
    rec[Byte16] = f.data[5];
    rec[Byte17] = f.data[6];
    hub_to_pc_seal(rec);
}

Frame exam_param_ack() {
    Frame ack;
    ack.id = ID_HUB_TO_CPU;
    ack.length = 2;
    ack.data[0] = MSG_ACK;
    ack.data[1] = ACK_EXAM_PARAM;
    return ack;
}

void kv_ma_record(uint8_t *rec, uint16_t seq, uint16_t pc_status) {
    PcToHub m{};
    m.Event = PC_CHANGE_KV_MA;
    m.PCStatus = pc_status;
    m.kV = static_cast<uint8_t>(seq & 0xFF);
    m.mA = static_cast<uint8_t>(seq >> 8);
    pc_to_hub_encode(m, rec);
}

void watchdog_record(uint8_t *rec, uint16_t pc_status) {
    PcToHub m{};
    m.Event = PC_WATCHDOG;
    m.PCStatus = pc_status;
    pc_to_hub_encode(m, rec);
}

Frame kv_ma_frame(const uint8_t *rec) {
    const PcToHub m = pc_to_hub_decode(rec);
    Frame cmd;
    cmd.id = ID_HUB_TO_CPU;
    cmd.length = 3;
    cmd.data[0] = MSG_CHANGE_KV_MA;
    cmd.data[1] = m.kV;
    cmd.data[2] = m.mA;
    return cmd;
}

bool record_checksum_ok(const uint8_t *rec) {
    return hub_to_pc_checksum(rec) == get_be16(rec, hub_to_pc::Checksum);
}

}  // namespace bench

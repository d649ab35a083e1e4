#include "pc/pc_records.h"

uint16_t hub_to_pc_checksum(const uint8_t *rec) {
    // Only the first word of every 8-byte stretch counts, read high byte
    // first, so a little-endian field enters with its bytes exchanged.
    uint16_t sum = 0;
    for (size_t k = 0; k < HUB_TO_PC_SIZE - 2; k += 8) sum = static_cast<uint16_t>(sum + get_be16(rec, k));
    return sum;
}

void hub_to_pc_seal(uint8_t *rec) {
    rec[hub_to_pc::Checksum] = 0;
    rec[hub_to_pc::Checksum + 1] = 0;
    uint16_t sum = hub_to_pc_checksum(rec);
    rec[hub_to_pc::Checksum] = static_cast<uint8_t>(sum >> 8);
    rec[hub_to_pc::Checksum + 1] = static_cast<uint8_t>(sum & 0xFF);
}

PcToHub pc_to_hub_decode(const uint8_t *rec) {
    using namespace pc_to_hub;
    PcToHub m{};
    m.Event = get_le16(rec, Event);
    m.PCStatus = get_le16(rec, PCStatus);
    m.SelFamily = get_le16(rec, SelFamily);
    m.SelExam = get_le16(rec, SelExam);
    m.kV = rec[kV];
    m.mA = rec[mA];
    m.SelPatType = rec[SelPatType];
    m.SelPatSize = rec[SelPatSize];
    m.SelPatDent = rec[SelPatDent];
    return m;
}

void pc_to_hub_encode(const PcToHub &m, uint8_t *rec) {
    using namespace pc_to_hub;
    for (size_t i = 0; i < PC_TO_HUB_SIZE; ++i) rec[i] = 0;
    put_le16(rec, Event, m.Event);
    put_le16(rec, PCStatus, m.PCStatus);
    put_le16(rec, SelFamily, m.SelFamily);
    put_le16(rec, SelExam, m.SelExam);
    rec[kV] = m.kV;
    rec[mA] = m.mA;
    rec[SelPatType] = m.SelPatType;
    rec[SelPatSize] = m.SelPatSize;
    rec[SelPatDent] = m.SelPatDent;
}

const char *pc_event_name(uint16_t event) {
    switch (event) {
    case PC_WATCHDOG: return "PC_WATCHDOG";
    case PC_CLOSE_SOCKET: return "PC_CLOSE_SOCKET";
    case PC_CHANGE_EXAM: return "PC_CHANGE_EXAM";
    case PC_CHANGE_KV_MA: return "PC_CHANGE_KV_MA";
    case PC_CHANGE_FAMILY: return "PC_CHANGE_FAMILY";
    case PC_CHANGE_PAT_TYPE: return "PC_CHANGE_PAT_TYPE";
    case PC_CHANGE_PAT_SIZE: return "PC_CHANGE_PAT_SIZE";
    case PC_CHANGE_PAT_DENT: return "PC_CHANGE_PAT_DENT";
    case PC_REQ_TIME_START: return "PC_REQ_TIME_START";
    case PC_SET_LAST_CAL_TIME: return "PC_SET_LAST_CAL_TIME";
    case PC_REQ_LAST_CAL_TIME: return "PC_REQ_LAST_CAL_TIME";
    case PC_LOCK_KEYBORD: return "PC_LOCK_KEYBORD";
    case PC_UNLOCK_KEYBORD: return "PC_UNLOCK_KEYBORD";
    case PC_DEBUG_RX_ON: return "PC_DEBUG_RX_ON";
    case PC_DEBUG_RX_OFF: return "PC_DEBUG_RX_OFF";
    default: return nullptr;
    }
}

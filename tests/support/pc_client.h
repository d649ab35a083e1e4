// The PC for tests: the PC client's own connection (tools/pcclient), and a
// PC record written with named fields.
#pragma once

#include <array>

#include "pc/pc_records.h"
#include "pc_link.h"

namespace hubtest {

using PcClient = pcclient::PcLink;
using HubRecord = pcclient::HubRecord;
constexpr size_t HUB_RECORD_SIZE = HUB_TO_PC_SIZE;
constexpr size_t PC_RECORD_SIZE = PC_TO_HUB_SIZE;
using PcBytes = std::array<uint8_t, PC_RECORD_SIZE>;

struct PcRecord {
    uint16_t event = 0, pc_status = 0, sel_family = 0, sel_exam = 0;
    uint8_t kv = 0, ma = 0, sel_pat_type = 0, sel_pat_size = 0, sel_pat_dent = 0;
    operator PcToHub() const { return {event, pc_status, sel_family, sel_exam, kv, ma, sel_pat_type, sel_pat_size, sel_pat_dent}; }
    PcBytes encode() const {
        PcBytes bytes;
        pc_to_hub_encode(*this, bytes.data());
        return bytes;
    }
};

inline uint16_t record_le16(const HubRecord &r, size_t offset) { return get_le16(r.data(), offset); }
inline uint16_t record_be16(const HubRecord &r, size_t offset) { return get_be16(r.data(), offset); }
inline uint16_t record_type(const HubRecord &r) { return record_le16(r, hub_to_pc::MsgType); }

}  // namespace hubtest

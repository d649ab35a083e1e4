// The PC for tests: the PC client's own connection (tools/pcclient).
#pragma once

#include "pc/pc_records.h"
#include "pc_link.h"

namespace hubtest {

using PcClient = pcclient::PcLink;
using HubRecord = pcclient::HubRecord;

inline uint16_t record_be16(const HubRecord &r, size_t offset) { return get_be16(r.data(), offset); }
inline uint16_t record_type(const HubRecord &r) { return get_le16(r.data(), hub_to_pc::MsgType); }

}  // namespace hubtest

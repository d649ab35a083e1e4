// A 72-byte hub-to-PC record as the PC client shows it: its type, the
// fields that type sets, both display lines and the checksum checked. Pure:
// decoding and text only (the offsets and the checksum are the hub's own,
// src/pc/pc_records.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pcclient {

struct HubRecordView {
    uint16_t type;
    std::string type_name;  // "LINE1", ...; "TYPE_9" for an unknown type
    std::string fields;     // what this type sets, e.g. "ExamStatus=7"; may be empty
    std::string line0;      // 16 characters: NUL shown as ' ', other control bytes as '.'
    std::string line1;
    uint16_t word8;          // 6 while the CPU node has not reported a test selection
    uint8_t exam_status;     // the standing exam status
    uint16_t checksum;       // as received (bytes 70-71, high byte first)
    uint16_t checksum_calc;  // computed over the record
    bool checksum_ok() const { return checksum == checksum_calc; }
};

// `record` holds exactly 72 bytes.
HubRecordView view_hub_record(const uint8_t *record);

// One line, e.g.
//   <- LINE1       [PANO  EX01      ] [66kV 10mA  A M 1] sum 5A3C ok
//   <- EXAM_STATUS [...] [...] ExamStatus=7 sum 1234 BAD, computed 1235
std::string hub_record_text(const HubRecordView &view);

// "WATCHDOG", "LINE0", "LINE1", "DATE_TIME", "EXAM_STATUS", "EXAM_PARAM",
// "TEST_SEL"; nullptr for other types.
const char *hub_record_type_name(uint16_t type);
// A type by name (any case) or number; nullopt for neither.
std::optional<uint16_t> parse_hub_record_type(std::string_view text);

}  // namespace pcclient

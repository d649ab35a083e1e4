#include "hub_record_view.h"

#include <cctype>
#include <string>

#include "pc/pc_records.h"
#include "script_queue.h"
#include "strprintf.h"

namespace pcclient {
namespace {

using tools::strprintf;

std::string line_text(const uint8_t *record, size_t offset) {
    std::string text;
    for (size_t i = 0; i < hub_to_pc::LineWidth; ++i) {
        uint8_t c = record[offset + i];
        text += c == 0 ? ' ' : (c < 0x20 || c >= 0x7F) ? '.' : static_cast<char>(c);
    }
    return text;
}

std::string fields_text(uint16_t type, const uint8_t *r) {
    using namespace hub_to_pc;
    switch (type) {
    case MSG_TYPE_DATE_TIME:
        return strprintf("%04u-%02u-%02u %02u:%02u:%02u", unsigned{get_le16(r, Year)}, unsigned{get_le16(r, Month)},
                         unsigned{r[Day]}, unsigned{r[Hour]}, unsigned{r[Minute]}, unsigned{r[Second]});
    case MSG_TYPE_EXAM_STATUS: return strprintf("ExamStatus=%u", unsigned{r[ExamStatus]});
    case MSG_TYPE_EXAM_PARAM:
        return strprintf("Byte13=%u Byte14=%u Word6=%u Byte15=%u Byte16=%u Byte17=%u", unsigned{r[Byte13]},
                         unsigned{r[Byte14]}, unsigned{get_le16(r, Word6)}, unsigned{r[Byte15]}, unsigned{r[Byte16]},
                         unsigned{r[Byte17]});
    case MSG_TYPE_TEST_SEL:
        return strprintf("Byte13=%u Byte14=%u Word6=%u Word8=%u Word10=%u", unsigned{r[Byte13]}, unsigned{r[Byte14]},
                         unsigned{get_le16(r, Word6)}, unsigned{get_le16(r, Word8)}, unsigned{get_le16(r, Word10)});
    default: return "";  // a watchdog sets nothing; a line record sets its line, shown anyway
    }
}

}  // namespace

const char *hub_record_type_name(uint16_t type) {
    switch (type) {
    case MSG_TYPE_WATCHDOG: return "WATCHDOG";
    case MSG_TYPE_LINE0: return "LINE0";
    case MSG_TYPE_LINE1: return "LINE1";
    case MSG_TYPE_DATE_TIME: return "DATE_TIME";
    case MSG_TYPE_EXAM_STATUS: return "EXAM_STATUS";
    case MSG_TYPE_EXAM_PARAM: return "EXAM_PARAM";
    case MSG_TYPE_TEST_SEL: return "TEST_SEL";
    default: return nullptr;
    }
}

std::optional<uint16_t> parse_hub_record_type(std::string_view text) {
    if (auto number = tools::parse_number(text, 0, 65535)) return static_cast<uint16_t>(*number);
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (uint16_t type = MSG_TYPE_WATCHDOG; type <= MSG_TYPE_TEST_SEL; ++type)
        if (upper == hub_record_type_name(type)) return type;
    return std::nullopt;
}

HubRecordView view_hub_record(const uint8_t *r) {
    HubRecordView v;
    v.type = get_le16(r, hub_to_pc::MsgType);
    const char *name = hub_record_type_name(v.type);
    v.type_name = name ? name : strprintf("TYPE_%u", unsigned{v.type});
    v.fields = fields_text(v.type, r);
    v.line0 = line_text(r, hub_to_pc::Line0);
    v.line1 = line_text(r, hub_to_pc::Line1);
    v.word8 = get_le16(r, hub_to_pc::Word8);
    v.exam_status = r[hub_to_pc::ExamStatus];
    v.checksum = get_be16(r, hub_to_pc::Checksum);
    v.checksum_calc = hub_to_pc_checksum(r);
    return v;
}

std::string hub_record_text(const HubRecordView &v) {
    std::string text = strprintf("<- %-11s [%s] [%s]", v.type_name.c_str(), v.line0.c_str(), v.line1.c_str());
    if (!v.fields.empty()) text += " " + v.fields;
    if (v.checksum_ok())
        text += strprintf(" sum %04X ok", unsigned{v.checksum});
    else
        text += strprintf(" sum %04X BAD, computed %04X", unsigned{v.checksum}, unsigned{v.checksum_calc});
    return text;
}

}  // namespace pcclient

// The PC client's view of the hub's records: every type decoded, the
// checksum checked, and records cut from a stream however it arrives.
#include <gtest/gtest.h>

#include <cstring>

#include "hub_record_view.h"
#include "panel_view.h"
#include "pc/pc_records.h"
#include "record_stream.h"

using namespace pcclient;

namespace {

// A record as the hub would send it after the unit has reported in: the
// model name, Word8 from the test selection, both lines, then `fill`.
HubRecord record(uint16_t type, void (*fill)(uint8_t *) = nullptr, const char *line0 = "CEPH  EX03      ") {
    HubRecord r{};
    put_le16(r.data(), hub_to_pc::MsgType, type);
    std::memcpy(r.data() + hub_to_pc::Line0, line0, 16);
    std::memcpy(r.data() + hub_to_pc::Line1, "66kV 10mA  A M 1", 16);
    std::memcpy(r.data() + hub_to_pc::Model, "  ZELT 4", 8);
    if (fill) fill(r.data());
    hub_to_pc_seal(r.data());
    return r;
}

std::string text(const HubRecord &r) { return hub_record_text(view_hub_record(r.data())); }

TEST(HubRecordView, ShowsEachTypeWithTheFieldsItSets) {
    EXPECT_EQ(text(record(MSG_TYPE_WATCHDOG)), "<- WATCHDOG    [CEPH  EX03      ] [66kV 10mA  A M 1] sum 5644 ok");
    EXPECT_EQ(text(record(MSG_TYPE_LINE0)), "<- LINE0       [CEPH  EX03      ] [66kV 10mA  A M 1] sum 5744 ok");
    EXPECT_EQ(text(record(MSG_TYPE_LINE1)), "<- LINE1       [CEPH  EX03      ] [66kV 10mA  A M 1] sum 5844 ok");
    EXPECT_EQ(text(record(MSG_TYPE_DATE_TIME,
                          [](uint8_t *r) {
                              put_le16(r, hub_to_pc::Year, 2024);
                              put_le16(r, hub_to_pc::Month, 5);
                              r[hub_to_pc::Day] = 17;
                              r[hub_to_pc::Hour] = 14;
                              r[hub_to_pc::Minute] = 3;
                              r[hub_to_pc::Second] = 9;
                          })),
              "<- DATE_TIME   [CEPH  EX03      ] [66kV 10mA  A M 1] 2024-05-17 14:03:09 sum 5E44 ok");
    EXPECT_EQ(text(record(MSG_TYPE_EXAM_STATUS, [](uint8_t *r) { r[hub_to_pc::ExamStatus] = 7; })),
              "<- EXAM_STATUS [CEPH  EX03      ] [66kV 10mA  A M 1] ExamStatus=7 sum 5A44 ok");
    EXPECT_EQ(text(record(MSG_TYPE_EXAM_PARAM,
                          [](uint8_t *r) {
                              r[hub_to_pc::Byte13] = 2;
                              r[hub_to_pc::Byte14] = 3;
                              put_le16(r, hub_to_pc::Word6, 660);
                              r[hub_to_pc::Byte15] = 1;
                              r[hub_to_pc::Byte16] = 3;
                              r[hub_to_pc::Byte17] = 1;
                          })),
              "<- EXAM_PARAM  [CEPH  EX03      ] [66kV 10mA  A M 1] Byte13=2 Byte14=3 Word6=660 Byte15=1 Byte16=3 "
              "Byte17=1 sum 5E45 ok");
    EXPECT_EQ(text(record(MSG_TYPE_TEST_SEL,
                          [](uint8_t *r) {
                              r[hub_to_pc::Byte13] = 1;
                              r[hub_to_pc::Byte14] = 2;
                              put_le16(r, hub_to_pc::Word6, 0x0304);
                              put_le16(r, hub_to_pc::Word10, 0x0506);
                              put_le16(r, hub_to_pc::Word8, 0x0708);
                          })),
              "<- TEST_SEL    [CEPH  EX03      ] [66kV 10mA  A M 1] Byte13=1 Byte14=2 Word6=772 Word8=1800 "
              "Word10=1286 sum 644B ok");
    EXPECT_EQ(text(record(9)), "<- TYPE_9      [CEPH  EX03      ] [66kV 10mA  A M 1] sum 5F44 ok");
}

TEST(HubRecordView, ReportsABadChecksum) {
    HubRecord r = record(MSG_TYPE_LINE1);
    r[hub_to_pc::Checksum + 1] ^= 0x01;
    HubRecordView v = view_hub_record(r.data());
    EXPECT_FALSE(v.checksum_ok());
    EXPECT_EQ(v.checksum, 0x5845);
    EXPECT_EQ(v.checksum_calc, 0x5844);
    EXPECT_EQ(hub_record_text(v), "<- LINE1       [CEPH  EX03      ] [66kV 10mA  A M 1] sum 5845 BAD, computed 5844");
}

TEST(HubRecordView, ShowsNulAsBlankAndControlBytesAsDots) {
    HubRecord r = record(MSG_TYPE_LINE0, nullptr, "AB\0\0\0\0\0\x07IJKLMNOP");
    EXPECT_EQ(text(r), "<- LINE0       [AB     .IJKLMNOP] [66kV 10mA  A M 1] sum 3228 ok");
}

TEST(HubRecordView, KeepsWord8AndTheExamStatus) {
    HubRecord r = record(MSG_TYPE_WATCHDOG, [](uint8_t *r) {
        put_le16(r, hub_to_pc::Word8, 6);
        r[hub_to_pc::ExamStatus] = 3;
    });
    HubRecordView v = view_hub_record(r.data());
    EXPECT_EQ(v.word8, 6);
    EXPECT_EQ(v.exam_status, 3);
}

TEST(HubRecordView, RecordTypesByNameOrNumber) {
    EXPECT_EQ(parse_hub_record_type("LINE1"), MSG_TYPE_LINE1);
    EXPECT_EQ(parse_hub_record_type("exam_param"), MSG_TYPE_EXAM_PARAM);
    EXPECT_EQ(parse_hub_record_type("4"), MSG_TYPE_EXAM_STATUS);
    EXPECT_FALSE(parse_hub_record_type("LINE2"));
}

TEST(RecordStream, CutsRecordsHoweverTheBytesArrive) {
    HubRecord a = record(MSG_TYPE_LINE0), b = record(MSG_TYPE_LINE1);
    std::vector<uint8_t> bytes(a.begin(), a.end());
    bytes.insert(bytes.end(), b.begin(), b.end());
    RecordStream stream;
    stream.add(bytes.data(), 50);
    EXPECT_FALSE(stream.next());
    EXPECT_EQ(stream.pending(), 50u);
    stream.add(bytes.data() + 50, 50);
    EXPECT_EQ(stream.next(), a);
    EXPECT_FALSE(stream.next());
    EXPECT_EQ(stream.pending(), 28u);
    stream.add(bytes.data() + 100, bytes.size() - 100);
    EXPECT_EQ(stream.next(), b);
    EXPECT_EQ(stream.pending(), 0u);
}

TEST(PanelView, RedrawsInPlaceUntilSomethingElseIsPrinted) {
    HubRecordView v = view_hub_record(record(MSG_TYPE_EXAM_STATUS, [](uint8_t *r) { r[12] = 7; }).data());
    PanelView panel;
    const std::string block =
        "\r\x1b[2K+----------------+\n"
        "\r\x1b[2K|CEPH  EX03      |\n"
        "\r\x1b[2K|66kV 10mA  A M 1|\n"
        "\r\x1b[2K+----------------+\n"
        "\r\x1b[2Kexam status 7, last record EXAM_STATUS, sum ok\n";
    EXPECT_EQ(panel.draw(v), block);
    EXPECT_EQ(panel.draw(v), "\x1b[5A" + block);
    panel.interrupted();
    EXPECT_EQ(panel.draw(v), block);
}

}  // namespace

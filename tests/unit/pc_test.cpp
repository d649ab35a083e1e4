// The PC link's records and reports (commands, dates, watchdog: tests/e2e).
#include <cstring>

#include "can/can_rx_qsd.h"
#include "can/thread_can_read.h"
#include "hub_cfg.h"
#include "hub_test.h"
#include "pc/hub_to_pc.h"
#include "pc/pc_dispatch.h"
#include "pc/pc_reports.h"
#include "pc/thread_tcp_server.h"

namespace {

std::string line_of(const Record &r, size_t field) { return std::string(r.begin() + field, r.begin() + field + 16); }

class PcLink : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        // Both lines completed with acknowledgement, so no acknowledge bit is left set.
        for (uint8_t l : {0, 1})
            for (uint8_t segment : {16, 32, 48}) line(l, segment, ".......", 1);
        sent_frames();
        pc_records();
        memset(G_HubToPc, 0, sizeof G_HubToPc);
    }
    static int dispatch(const PcToHub &msg) { return tcp_server_recive_message(pc_record(msg).data()); }
    static void line(uint8_t l, uint8_t segment, const char *s, uint8_t ack) {
        tcp_server_send_display_line(l, segment, reinterpret_cast<const uint8_t *>(s), ack);
    }
    Record one_record() {
        std::vector<Record> sent = pc_records();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? Record{} : sent.back();
    }
};

TEST(PcRecord, ChecksumSkipsAllButTheFirstWordOfEachEightBytes) {
    uint8_t rec[HUB_TO_PC_SIZE] = {3, 0};  // the worked example: 0x0300, high byte first
    hub_to_pc_seal(rec);
    EXPECT_EQ(Bytes(rec + 70, rec + 72), (Bytes{0x03, 0x00}));
    for (size_t i = 0; i < sizeof rec; ++i) rec[i] = static_cast<uint8_t>(i * 7 + 1);
    const uint16_t base = hub_to_pc_checksum(rec);
    for (size_t offset : {2, 18, 19, 20, 21, 63}) {
        rec[offset] ^= 0xFF;
        EXPECT_EQ(hub_to_pc_checksum(rec), base) << "byte " << offset;
    }
    rec[1] ^= 0x01;
    EXPECT_EQ(hub_to_pc_checksum(rec), static_cast<uint16_t>(base + 1)) << "byte 1";
}

TEST(PcRecord, SixteenBitFieldsTravelLowByteFirst) {
    Bytes in = pc_record(pc(PC_CHANGE_FAMILY, 0x0201, 258, 0x1234, 70, 8, 1, 2, 3));
    EXPECT_EQ(in, (Bytes{4, 0, 1, 2, 0, 0, 0, 0, 2, 1, 0x34, 0x12, 70, 8, 1, 2, 3, 0, 0, 0}));
    for (size_t reserved : {4, 5, 6, 7, 17, 18, 19}) in[reserved] = 0xEE;  // not looked at
    PcToHub m = pc_to_hub_decode(in.data());
    EXPECT_EQ(Bytes({uint8_t(m.Event), uint8_t(m.PCStatus >> 8), uint8_t(m.SelFamily >> 8), uint8_t(m.SelFamily),
                     uint8_t(m.SelExam >> 8), m.kV, m.mA, m.SelPatType, m.SelPatSize, m.SelPatDent}),
              (Bytes{4, 2, 1, 2, 0x12, 70, 8, 1, 2, 3}));
}

// Debug events set the exam status in simulator mode only (unknown codes: tests/e2e).
TEST_F(PcLink, DebugEventsSetTheExamStatusInSimulatorModeOnly) {
    for (bool simulator : {false, true}) {
        Hub_Config.simulator = simulator ? cfg_true : cfg_false;
        EXPECT_EQ(dispatch(pc(PC_DEBUG_RX_ON)), 0);
        EXPECT_EQ(G_HubToPc[hub_to_pc::ExamStatus], simulator ? 7 : 0);
        EXPECT_EQ(dispatch(pc(PC_DEBUG_RX_OFF)), 0);
        EXPECT_EQ(G_HubToPc[hub_to_pc::ExamStatus], simulator ? 1 : 0);
    }
}

TEST_F(PcLink, ALineIsSentAfterItsThirdSegmentAndAcknowledgedWhenAllThreeWere) {
    tcp_server_prepare_record();  // as the server starts
    set_tracing(true, true);
    std::string out = stdout_of([] {
        line(0, 16, "ABCDEFG", 1);
        line(0, 32, "HIJKLMN", 1);
        line(0, 48, "OP", 1);
    });
    EXPECT_EQ(out, "L 0-1\nL 0-2\nL 0-3:ABCDEFGHIJKLMNOP\nackLine0 = 3\nAck Line0 Ok\n");
    EXPECT_EQ(syslog_records(),
              (Lines{"L 0-1\n", "L 0-2\n", "L 0-3:ABCDEFGHIJKLMNOP\n", "ackLine0 = 3\n", "Ack Line0 Ok\n"}));
    Record sent = one_record();
    EXPECT_EQ(slice(sent, 0, 2), (Bytes{1, 0}));
    EXPECT_EQ(slice(sent, 70, 2), (Bytes{0xEF, 0xD5})) << "the worked example: line 0 holding A to P";
    EXPECT_EQ(line_of(sent, hub_to_pc::Line0), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(sent_frames(), Lines{"287#1600"});
    // The bits were cleared: a series missing segment 32 is not acknowledged.
    out = stdout_of([] {
        line(0, 16, "abcdefg", 1);
        line(0, 48, "xy", 1);
        line(0, 32, "hijklmn", 1);
        line(0, 48, "op", 1);
    });
    EXPECT_EQ(out, "L 0-1\nL 0-3:abcdefgHIJKLMNxy\nackLine0 = 1\nL 0-2\nL 0-3:abcdefghijklmnop\nackLine0 = 3\nAck Line0 Ok\n");
    EXPECT_EQ(sent_frames(), Lines{"287#1600"});
    EXPECT_EQ(pc_records().size(), 2u);
    // Line 1 without acknowledgement: no frame. A NUL ends a segment's text; segment 0 does nothing.
    set_tracing(false, false);
    for (auto [segment, text] : {std::pair{16, "AB"}, {32, "HIJKLMN"}, {48, "OP"}, {0, "ZZZZZZZ"}})
        line(1, static_cast<uint8_t>(segment), text, 0);
    sent = one_record();
    EXPECT_EQ(slice(sent, 0, 2), (Bytes{2, 0}));
    EXPECT_EQ(line_of(sent, hub_to_pc::Line1), std::string("AB\0\0\0\0\0HIJKLMNOP", 16));
    EXPECT_EQ(sent_frames(), Lines{});
}

TEST_F(PcLink, ClearDisplayBlanksBothLinesAndOnlyThePanelsClearIsAcknowledged) {
    set_tracing(true, false);
    const std::string blank(16, ' ');
    std::string out = stdout_of([] {
        canRxQsd(make_frame(0x227, {1}));
        canRxQsd(make_frame(0x227, {2}));  // only 1 clears
    });
    EXPECT_EQ(out, "Clear Display\nL 0-1\nL 0-2\nL 0-3:" + blank + "\nL 1-1\nL 1-2\nL 1-3:" + blank + "\n");
    std::vector<Record> sent = pc_records();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][0], 1);
    EXPECT_EQ(sent[1][0], 2);
    EXPECT_EQ(line_of(sent[1], hub_to_pc::Line0) + line_of(sent[1], hub_to_pc::Line1), blank + blank);
    EXPECT_EQ(sent_frames(), Lines{});
    // The panel's clear and line 1: nothing while display is off, acknowledged once on.
    set_tracing(false, false);
    for (bool display : {false, true}) {
        Hub_Config.display = display ? cfg_true : cfg_false;
        canReciveMessage(make_frame(0x223, {1}));
        for (uint8_t segment : {0x90, 0xA0, 0xB0}) canReciveMessage(make_frame(0x20B, {segment, 'a', 'b'}));
        EXPECT_EQ(pc_records().size(), display ? 3u : 0u);
        EXPECT_EQ(sent_frames(), display ? (Lines{"287#1600", "287#1601", "287#1601"}) : Lines{});
    }
}

}  // namespace

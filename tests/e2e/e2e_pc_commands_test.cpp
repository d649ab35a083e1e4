// The PC's selections as commands for the CPU node: held back until the CPU
// node has reported a test selection, then relayed frame for frame; unknown
// events reported and ignored.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e_pc_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using namespace e2e_pc;
using hubtest::PcClient;
using hubtest::PcRecord;

namespace {

// The dispatch traces: event lines and the value lines that follow them.
std::vector<std::string> dispatch_lines(const std::vector<std::string> &lines, size_t from) {
    std::vector<std::string> picked;
    for (size_t i = from; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        if (l.rfind("Recived Message", 0) == 0 || l.rfind("Sel", 0) == 0 || l.rfind("Voltage", 0) == 0)
            picked.push_back(l);
    }
    return picked;
}

bool is_recv_20(const std::string &line) { return line == "recv retval: 20"; }

}  // namespace

TEST(PcLinkCommands, ReachTheCpuNodeOnlyAfterATestSelection) {
    hubtest::HubRig rig;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    ASSERT_TRUE(pc.read_record(5s));

    // Before any test selection the exam change only answers the watchdog.
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_EXAM, .sel_family = 3, .sel_exam = 12}));
    auto forced = rig.hub.wait_stdout_line(
        "Recived Message from PC... Event: 2. CPU NOT INITIALIZED, event forced to PC_WATCHDOG", 5s);
    ASSERT_TRUE(forced);
    ASSERT_TRUE(rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_WATCHDOG! 0", 2s, *forced + 1));
    // A later record is received only once that one's dispatch has returned.
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_WATCHDOG}));
    auto next_recv = rig.hub.wait_stdout_line(is_recv_20, 2s, *forced + 1);
    ASSERT_TRUE(next_recv);
    ASSERT_TRUE(rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_WATCHDOG! 0", 2s, *next_recv + 1));

    // The test selection: its record, then its acknowledgement as the only frame.
    rig.can.inject(test_selection_1_to_8());
    auto selection = pc.wait_record_type(6, 5s);
    ASSERT_TRUE(selection);
    HubRecord expected = fresh_record();
    expected = with_bytes(expected, 0, {0x06, 0x00});
    expected = with_bytes(expected, 6, {0x04, 0x03, 0x08, 0x07, 0x06, 0x05});
    expected = with_bytes(expected, 13, {0x01, 0x02});
    EXPECT_EQ(hex(*selection), hex(sealed(expected)));
    ASSERT_TRUE(rig.can.wait_for_frames(1, 5s));
    EXPECT_EQ(frame_texts(rig.can.frames()), std::vector<std::string>{"287#1604"});

    size_t traced_from = rig.hub.stdout_lines().size();
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_EXAM, .sel_family = 3, .sel_exam = 12}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_KV_MA, .kv = 70, .ma = 8}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_PAT_TYPE, .sel_pat_type = 1}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_PAT_SIZE, .sel_pat_size = 2}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_PAT_DENT, .sel_pat_dent = 3}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_LOCK_KEYBORD}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_UNLOCK_KEYBORD}));
    // The family change uses the exam command; only the low bytes travel.
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CHANGE_FAMILY, .sel_family = 0x0105, .sel_exam = 0x0203}));

    ASSERT_TRUE(rig.can.wait_for_frames(9, 5s));
    EXPECT_EQ(frame_texts(rig.can.frames(), 1), (std::vector<std::string>{
                                                    "287#1103000C00",
                                                    "287#124608",
                                                    "287#13",
                                                    "287#14",
                                                    "287#15",
                                                    "287#1701",
                                                    "287#1700",
                                                    "287#1105000300",
                                                }));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_CHANGE_FAMILY! 4", 2s, traced_from));
    ASSERT_TRUE(rig.hub.wait_stdout_line("SelFamily: 261; SelExam: 515", 2s, traced_from));
    EXPECT_EQ(dispatch_lines(rig.hub.stdout_lines(), traced_from), (std::vector<std::string>{
                                                                        "Recived Message from PC... Event: PC_CHANGE_EXAM! 2",
                                                                        "SelFamily: 3; SelExam: 12",
                                                                        "Recived Message from PC... Event: PC_CHANGE_KV_MA! 3",
                                                                        "Voltage: 70 kV; Current: 8 mA",
                                                                        "Recived Message from PC... Event: PC_CHANGE_PAT_TYPE! 5",
                                                                        "SelPatType: 1",
                                                                        "Recived Message from PC... Event: PC_CHANGE_PAT_SIZE! 6",
                                                                        "SelPatSize: 2",
                                                                        "Recived Message from PC... Event: PC_CHANGE_PAT_DENT! 7",
                                                                        "SelPatType: 3",
                                                                        "Recived Message from PC... Event: PC_LOCK_KEYBORD! b",
                                                                        "Recived Message from PC... Event: PC_UNLOCK_KEYBORD! c",
                                                                        "Recived Message from PC... Event: PC_CHANGE_FAMILY! 4",
                                                                        "SelFamily: 261; SelExam: 515",
                                                                    }));
    EXPECT_TRUE(checksums_ok(pc.records()));
}

// Codes without an event are reported even with tracing off, and ignored:
// the link carries on. 100 and 101 are events (debug switches, idle outside
// simulator mode), 99 and 102 are not.
TEST(PcLinkCommands, UnknownEventsAreReportedAndTheLinkStaysUp) {
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    ASSERT_TRUE(pc.read_record(5s));
    rig.can.inject(test_selection_1_to_8());
    ASSERT_TRUE(pc.wait_record_type(6, 5s));

    for (uint16_t event : {13, 99, 100, 101, 102}) ASSERT_TRUE(pc.send(PcRecord{.event = event}));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_REQ_TIME_START}));
    auto date = pc.wait_record_type(3, 5s);
    ASSERT_TRUE(date) << "the link went down";
    EXPECT_EQ((*date)[12], 0) << "a debug switch changed the exam status outside simulator mode";
    ASSERT_TRUE(rig.hub.wait_stdout_line("@@@@@ Recived Message from PC... Event: Error!!! @@@@@ 66", 2s));

    auto lines = rig.hub.stdout_lines();
    ASSERT_EQ(lines.size(), 4u) << rig.hub.stdout_text();
    EXPECT_EQ(lines[1], "@@@@@ Recived Message from PC... Event: Error!!! @@@@@ d");
    EXPECT_EQ(lines[2], "@@@@@ Recived Message from PC... Event: Error!!! @@@@@ 63");
    EXPECT_EQ(lines[3], "@@@@@ Recived Message from PC... Event: Error!!! @@@@@ 66");
    EXPECT_TRUE(pc.is_connected() && !pc.peer_closed());
    EXPECT_EQ(rig.hub.stderr_text(), "");
    EXPECT_TRUE(checksums_ok(pc.records()));
}

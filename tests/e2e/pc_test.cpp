// The PC link through the real hub: commands relayed to the CPU node once it
// has reported in, unknown events, how connections end, the dates the PC
// asks for, and the PC status driving the sensor-ready line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/wait.h>

#include "hub_rig.h"

using namespace hubtest;
using Lines = std::vector<std::string>;

// Word6, Word8, Word10, Byte13 and Byte14 of the test selection 01..08.
const std::pair<size_t, std::vector<uint8_t>> SELECTED{6, {0x04, 0x03, 0x08, 0x07, 0x06, 0x05, 0, 0x01, 0x02}};

TEST(PcLinkCommands, ReachTheCpuNodeOnlyAfterATestSelection) {
    HubRig rig;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, WAIT) && pc.read_record(WAIT));
    // Before any test selection an exam change only answers the watchdog,
    // and a later record is received only once its dispatch has returned.
    ASSERT_TRUE(pc.send({.Event = PC_CHANGE_EXAM, .SelFamily = 3, .SelExam = 12}));
    auto at = rig.hub.wait_stdout_line("Recived Message from PC... Event: 2. CPU NOT INITIALIZED, event forced to PC_WATCHDOG", WAIT);
    ASSERT_TRUE(at && rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_WATCHDOG! 0", WAIT, *at + 1));
    ASSERT_TRUE(pc.send({.Event = PC_WATCHDOG}));
    ASSERT_TRUE(at = rig.hub.wait_stdout_line("recv retval: 20", WAIT, *at + 1));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_WATCHDOG! 0", WAIT, *at + 1));
    // The test selection: its record, and its acknowledgement as the only frame.
    rig.can.inject(frame(0x23F, {1, 2, 3, 4, 5, 6, 7, 8}));
    auto selection = pc.wait_record_type(MSG_TYPE_TEST_SEL, WAIT);
    ASSERT_TRUE(selection);
    EXPECT_EQ(*selection, hub_record({{0, {6}}, SELECTED}));
    ASSERT_TRUE(rig.can.wait_for_frames(1, WAIT));
    EXPECT_EQ(rig.frames_from(0), Lines{"287#1604"});
    const size_t line = rig.hub.out().line_count();
    // Each record, the frame it sends and the lines it traces. The family
    // change uses the exam command; only the low bytes travel.
    const std::string event = "Recived Message from PC... Event: ";
    struct Case {
        PcToHub record;
        const char *frame;
        Lines traced;
    } cases[] = {
        {{.Event = 2, .SelFamily = 3, .SelExam = 12}, "287#1103000C00", {event + "PC_CHANGE_EXAM! 2", "SelFamily: 3; SelExam: 12"}},
        {{.Event = 3, .kV = 70, .mA = 8}, "287#124608", {event + "PC_CHANGE_KV_MA! 3", "Voltage: 70 kV; Current: 8 mA"}},
        {{.Event = 5, .SelPatType = 1}, "287#13", {event + "PC_CHANGE_PAT_TYPE! 5", "SelPatType: 1"}},
        {{.Event = 6, .SelPatSize = 2}, "287#14", {event + "PC_CHANGE_PAT_SIZE! 6", "SelPatSize: 2"}},
        {{.Event = 7, .SelPatDent = 3}, "287#15", {event + "PC_CHANGE_PAT_DENT! 7", "SelPatType: 3"}},
        {{.Event = 11}, "287#1701", {event + "PC_LOCK_KEYBORD! b"}},
        {{.Event = 12}, "287#1700", {event + "PC_UNLOCK_KEYBORD! c"}},
        {{.Event = 4, .SelFamily = 0x0105, .SelExam = 0x0203}, "287#1105000300",
         {event + "PC_CHANGE_FAMILY! 4", "SelFamily: 261; SelExam: 515"}},
    };
    Lines frames, traced, dispatch;
    for (const Case &c : cases) {
        ASSERT_TRUE(pc.send(c.record));
        frames.push_back(c.frame);
        traced.insert(traced.end(), c.traced.begin(), c.traced.end());
    }
    ASSERT_TRUE(rig.can.wait_for_frames(1 + frames.size(), WAIT));
    EXPECT_EQ(rig.frames_from(1), frames);
    ASSERT_TRUE(rig.hub.wait_stdout_line(traced.back(), WAIT, line));
    for (const std::string &l : rig.lines_from(line))
        if (l.rfind("Recived", 0) == 0 || l.rfind("Sel", 0) == 0 || l.rfind("Voltage", 0) == 0) dispatch.push_back(l);
    EXPECT_EQ(dispatch, traced);
    EXPECT_EQ(pc.bad_checksums(), 0u);
}

// Codes without an event are reported even with tracing off, and ignored.
// 100 and 101 are events (debug switches, idle outside simulator mode).
TEST(PcLinkCommands, UnknownEventsAreReportedAndTheLinkStaysUp) {
    HubRig rig;
    rig.conf.verbose = false;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(rig.connect_selected(pc));
    for (uint16_t event : {13, 99, 100, 101, 102, 8}) ASSERT_TRUE(pc.send({.Event = event}));
    auto date = pc.wait_record_type(MSG_TYPE_DATE_TIME, WAIT);
    ASSERT_TRUE(date) << "the link went down";
    EXPECT_EQ((*date)[12], 0) << "a debug switch changed the exam status outside simulator mode";
    const std::string error = "@@@@@ Recived Message from PC... Event: Error!!! @@@@@ ";
    ASSERT_TRUE(rig.hub.wait_stdout_line(error + "66", WAIT));
    const Lines lines = rig.hub.stdout_lines();
    EXPECT_EQ(Lines(lines.begin() + 1, lines.end()), (Lines{error + "d", error + "63", error + "66"}));
    EXPECT_FALSE(pc.peer_closed());
    EXPECT_EQ(rig.hub.stderr_text(), "");
}

// PC_CLOSE_SOCKET ends the connection quietly; a PC that closes its side is
// reported as "Time Out"; the next PC is served either way.
TEST(PcLinkConnection, CloseRequestIsQuietAndAClosedPcIsATimeOut) {
    HubRig rig;
    rig.start();
    PcClient pc, next;
    ASSERT_TRUE(rig.connect_selected(pc));  // the close request counts only then
    ASSERT_TRUE(pc.send({.Event = PC_CLOSE_SOCKET}) && pc.wait_closed(WAIT));
    auto event = rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_CLOSE_SOCKET! 1", WAIT);
    ASSERT_TRUE(event && rig.hub.wait_stdout_line("Close Client Socket!", WAIT, *event + 1));
    ASSERT_TRUE(next.connect(rig.port, WAIT));
    auto first = next.read_record(WAIT);
    ASSERT_TRUE(first);
    EXPECT_EQ(record_type(*first), MSG_TYPE_WATCHDOG);
    const size_t from = rig.hub.out().line_count();
    next.close();
    ASSERT_TRUE(rig.hub.wait_stdout_line("recv retval: 0", WAIT, from));
    ASSERT_TRUE(rig.hub.wait_stderr_line(starts_with("Time Out: "), WAIT));
    EXPECT_EQ(rig.hub.stderr_lines().size(), 1u) << rig.hub.stderr_text();
    EXPECT_EQ(pc.bad_checksums() + next.bad_checksums(), 0u);
    EXPECT_TRUE(rig.hub.running());
}

TEST(PcLinkConnection, PortInUseEndsTheHub) {
    HubRig rig;
    rig.conf.verbose = false;
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, htons(rig.port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    rig.start();
    auto status = rig.hub.wait_exit(WAIT);
    close(taken);
    ASSERT_TRUE(status) << "the hub kept running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_TRUE(rig.hub.wait_stderr_line("bind: Address already in use", WAIT)) << rig.hub.stderr_text();
}

// The CPU node's date comes back on request as the start time; the PC can
// keep the last one as its calibration time (zero until set).
TEST(PcLinkDates, StartTimeAndLastCalibrationTimeComeBackToThePc) {
    HubRig rig;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(rig.connect_selected(pc));
    auto ask = [&](uint16_t event, std::vector<uint8_t> date, const char *traced) {
        const size_t line = rig.hub.out().line_count();
        ASSERT_TRUE(pc.send({.Event = event}));
        auto record = pc.wait_record_type(MSG_TYPE_DATE_TIME, WAIT);
        ASSERT_TRUE(record);
        EXPECT_EQ(*record, hub_record({{0, {3}}, SELECTED, {54, date}})) << event;
        EXPECT_TRUE(rig.hub.wait_stdout_line(traced, WAIT, line));
    };
    const std::vector<uint8_t> may_6 = {0xE8, 0x07, 0x05, 0x00, 0x06, 0x07, 0x08, 0x09};
    ask(PC_REQ_LAST_CAL_TIME, {0, 0, 0, 0, 0, 0, 0, 0}, "Send Last Calibration Time to PC");
    rig.can.inject(frame(0x267, {0x00, 0x07, 0xE8, 0x05, 0x06, 0x07, 0x08, 0x09}));  // 2024-05-06 07:08:09
    auto year = rig.hub.wait_stdout_line("Year: 2024", WAIT);
    ASSERT_TRUE(year && rig.hub.wait_stdout_line("Second: 9", WAIT, *year + 1));
    ask(PC_REQ_TIME_START, may_6, "Send Start Time to PC");
    ASSERT_TRUE(pc.send({.Event = PC_SET_LAST_CAL_TIME}));
    rig.can.inject(frame(0x267, {0x00, 0x07, 0xE9, 0x0C, 0x1F, 0x17, 0x3B, 0x3A}));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Second: 58", WAIT, *year + 1));
    ask(PC_REQ_LAST_CAL_TIME, may_6, "Send Last Calibration Time to PC");
    ask(PC_REQ_TIME_START, {0xE9, 0x07, 0x0C, 0x00, 0x1F, 0x17, 0x3B, 0x3A}, "Send Start Time to PC");
}

// PC status 1 resets the sensor-ready line (0x40 of the GPIO device), 0 sets
// it, other values leave it; losing the PC counts as 0.
TEST(PcLinkStatus, StatusOneResetsTheSensorLineUntilThePcLeaves) {
    HubRig rig;
    rig.start();
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & 0x40) != 0; }, WAIT));
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, WAIT) && pc.read_record(WAIT));
    const size_t requests = rig.gpio.request_count();
    ASSERT_TRUE(pc.send({.Event = PC_WATCHDOG, .PCStatus = 1}));
    auto at = rig.hub.wait_stdout_line("PC change status: from: 0, to 1", WAIT);
    ASSERT_TRUE(at && rig.hub.wait_stdout_line("sensorReadyPanIo RESET", WAIT, *at + 1));
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & 0x40) == 0; }, WAIT));
    ASSERT_TRUE(pc.send({.Event = PC_WATCHDOG, .PCStatus = 2}));
    ASSERT_TRUE(at = rig.hub.wait_stdout_line("PC change status: from: 1, to 2", WAIT, *at + 1));
    pc.close();
    ASSERT_TRUE(at = rig.hub.wait_stdout_line("recv retval: 0", WAIT, *at + 1));
    ASSERT_TRUE(at = rig.hub.wait_stdout_line("PC change status: from: 2, to 0", WAIT, *at + 1));
    ASSERT_TRUE(rig.hub.wait_stdout_line("sensorReadyPanIo SET", WAIT, *at + 1));
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & 0x40) != 0; }, WAIT));
    ASSERT_TRUE(rig.hub.wait_stderr_line(starts_with("Time Out: "), WAIT));
    // One reset for status 1, one set for the disconnect, nothing for status 2.
    Lines lines;
    const auto all = rig.gpio.requests();
    for (size_t i = requests; i < all.size(); ++i)
        if (all[i].number == 7 || all[i].number == 8)
            lines.push_back(std::to_string(all[i].number) + ":" + std::to_string(devsim::arg_u32(all[i].arg, 0)));
    EXPECT_EQ(lines, (Lines{"8:64", "7:64"}));
}

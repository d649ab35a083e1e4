// The CAN side through the real hub: the CPU node, the reader, the display node, reports to the PC.
#include <gtest/gtest.h>

#include "hub_rig.h"

using namespace hubtest;
using Lines = std::vector<std::string>;

TEST(CanCpuNode, StateCommandsMoveTheNodeAndTheProcessDataReportsIt) {
    HubRig rig;
    rig.start();
    ASSERT_TRUE(rig.wait_started());
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    const size_t frames = rig.can.frame_count();
    // Bit 6 is no part of a state command: 0x047 is command 0, 0x04F command 8.
    struct Case {
        uint32_t id;
        Lines traced;
        uint8_t state;
    } cases[] = {
        {0x00F, {"Reading. Id: 15, length: 0, data: ", "CPU: PRE_OP -> OP"}, 2},
        {0x027, {"Reading. Id: 39, length: 0, data: ", "CPU: OP -> INIT", "CPU: INIT -> PRE_OP"}, 1},
        {0x047, {"Reading. Id: 71, length: 0, data: "}, 1},
        {0x04F, {"Reading. Id: 79, length: 0, data: ", "CPU: PRE_OP -> OP"}, 2},
        {0x01F, {"Reading. Id: 31, length: 0, data: ", "CPU: OP -> DISABLE"}, 3},
    };
    for (const Case &c : cases) {
        const size_t line = rig.hub.out().line_count();
        rig.can.inject(frame(c.id));
        ASSERT_TRUE(rig.hub.wait_stdout_line(c.traced.back(), WAIT, line)) << c.id;
        EXPECT_EQ(rig.process_data(c.state), "287#000" + std::to_string(c.state) + "000000") << c.id;
        EXPECT_EQ(rig.lines_from(line), c.traced) << c.id;
    }
    // State commands are never answered; the writer traces none of the hub's frames.
    for (const std::string &text : rig.frames_from(frames)) EXPECT_EQ(text.substr(0, 6), "287#00") << text;
    EXPECT_EQ(rig.hub.stdout_text().find("Writing"), std::string::npos);
}

// Exam status, version, Ethernet and date lines are printed whatever `verbose` says.
TEST(CanCpuNode, ExamStatusVersionEthernetAndDateLinesArePrintedWithVerboseOff) {
    HubRig rig;
    rig.conf.verbose = false;
    rig.start();
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    const size_t from = rig.can.frame_count();
    rig.can.inject(frame(0x21F, {5}));
    rig.can.inject(frame(0x267, {0x00, 0x07, 0xE8, 13, 32, 25, 61, 62}));  // stored as it comes, never checked
    rig.can.inject(frame(0x237, {0x09, 1, 2, 3, 4}));
    // Ethernet: run by the command interpreter (the stub ifconfig records it), never answered.
    rig.can.inject(frame(0x247, {10, 1, 2, 3, 255, 0, 0, 0}));
    ASSERT_TRUE(rig.hub.wait_stub_calls("ifconfig", 1, WAIT));
    EXPECT_EQ(rig.hub.stub_calls("ifconfig"), Lines{"eth0 10.1.2.3"});
    ASSERT_TRUE(rig.hub.wait_stdout_line("ifconfig eth0 10.1.2.3", WAIT));
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    EXPECT_EQ(rig.frames_from(from), (Lines{"287#1603", "287#020001001B", "287#0001000000"}));
    EXPECT_EQ(rig.lines_from(0), (Lines{"QSD STATUS CODE: 5", "Year: 2024", "Month: 13", "Day: 32", "Hour: 25",
                                        "Minute: 61", "Second: 62", "HW Major: 1", "HW Minor: 2", "FW Major: 3", "FW Minor: 4",
                                        "Ip: 0a010203; 10.1.2.3", "Netmask: ff000000; 255.0.0.0",
                                        "ifconfig eth0 10.1.2.3"}));
}

TEST(CanReader, DumpsAndDispatchesFramesByNode) {
    HubRig rig;  // display off
    rig.start();
    ASSERT_TRUE(rig.wait_started());
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    const size_t line = rig.hub.out().line_count(), from = rig.can.frame_count();
    // Not dumped: the process-data requests and 0x283. Node 5: dumped and
    // dropped. The display node while display is off: dumped, not handled.
    for (const CanFrame &f : {frame(0x107), frame(0x103), frame(0x283, {1, 2}), frame(0x105),
                              frame(0x235, {0, 1, 2, 3, 4}), frame(0x223, {1}),
                              frame(0x20B, {0x90, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}), frame(0x107)})
        rig.can.inject(f);
    ASSERT_TRUE(rig.can.wait_for_frames(from + 2, WAIT));
    const Lines dumped = {"Reading. Id: 261, length: 0, data: ",
                          "Reading. Id: 565, length: 5, data: 0x00 0x01 0x02 0x03 0x04 ",
                          "Reading. Id: 547, length: 1, data: 0x01 ",
                          "Reading. Id: 523, length: 8, data: 0x90 0x41 0x42 0x43 0x44 0x45 0x46 0x47 "};
    ASSERT_TRUE(rig.hub.wait_stdout_line(dumped.back(), WAIT, line));
    EXPECT_EQ(rig.lines_from(line), dumped);
    EXPECT_EQ(rig.frames_from(from), (Lines{"287#0001000000", "287#0001000000"}));
}

// Frames queued before the hub connects are handled in their order.
TEST(CanReader, FramesWaitingTogetherAreHandledInTheirOrder) {
    HubRig rig;
    rig.can.inject(frame(0x237, {0, 1, 2, 3, 4}));
    rig.can.inject(frame(0x21F, {5}));
    rig.can.inject(frame(0x217, {1, 2, 3, 4, 5, 6, 7, 8}));
    rig.start();
    ASSERT_TRUE(rig.can.wait_for_frames(3, WAIT));
    EXPECT_EQ(rig.frames_from(0), (Lines{"287#020001001B", "287#1603", "287#1602"}));
    const Lines handled = {"Reading. Id: 567, length: 5, data: 0x00 0x01 0x02 0x03 0x04 ", "HW Major: 1",
                           "HW Minor: 2", "FW Major: 3", "FW Minor: 4", "Reading. Id: 543, length: 1, data: 0x05 ",
                           "QSD STATUS CODE: 5",
                           "Reading. Id: 535, length: 8, data: 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 "};
    ASSERT_TRUE(rig.hub.wait_stdout_line(handled.back(), WAIT));
    Lines lines;  // among the other threads' start-up lines
    for (const std::string &l : rig.hub.stdout_lines())
        if (std::find(handled.begin(), handled.end(), l) != handled.end()) lines.push_back(l);
    EXPECT_EQ(lines, handled);
}

TEST(CanDisplayNode, ClearDisplayIsAcknowledgedToTheCpuNodeWhenDisplayIsOn) {
    HubRig rig;
    rig.conf.display = true;
    rig.start();
    ASSERT_TRUE(rig.wait_started());
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    const size_t line = rig.hub.out().line_count(), from = rig.can.frame_count();
    // Only a clear display with byte 1 acts: both lines blanked and acknowledged.
    for (const CanFrame &f : {frame(0x00B), frame(0x103), frame(0x223, {0}), frame(0x223, {1}), frame(0x107)})
        rig.can.inject(f);
    ASSERT_TRUE(rig.can.wait_for_frames(from + 3, WAIT));
    EXPECT_EQ(rig.frames_from(from), (Lines{"287#1600", "287#1601", "287#0001000000"}));
    const std::string blank(16, ' ');
    const Lines printed = {"Reading. Id: 11, length: 0, data: ", "Reading. Id: 547, length: 1, data: 0x00 ",
                           "Reading. Id: 547, length: 1, data: 0x01 ", "Clear Display", "L 0-1", "L 0-2",
                           "L 0-3:" + blank, "ackLine0 = 3", "Ack Line0 Ok", "L 1-1", "L 1-2", "L 1-3:" + blank,
                           "ackLine1 = 3", "Ack Line1 Ok"};
    ASSERT_TRUE(rig.hub.wait_stdout_line(printed.back(), WAIT, line));
    EXPECT_EQ(rig.lines_from(line), printed);
}

// Display line, exam status and exam parameters reach the PC and are acknowledged.
TEST(CanReports, ReportsReachThePcAndAreAcknowledged) {
    HubRig rig;
    rig.start();
    ASSERT_TRUE(rig.wait_started());
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, WAIT));
    ASSERT_TRUE(rig.hub.wait_stdout_line(starts_with("Server: connect from host 127.0.0.1, port "), WAIT));
    size_t line = rig.hub.out().line_count();
    const size_t from = rig.can.frame_count();
    // Line 0 in three segments; only two characters of the last belong to it.
    rig.can.inject(frame(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}));
    rig.can.inject(frame(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'}));
    rig.can.inject(frame(0x20F, {0x30, 'O', 'P', 'Q', 'R', 'S', 'T', 'U'}));
    auto record = pc.wait_record_type(MSG_TYPE_LINE0, WAIT);
    ASSERT_TRUE(record);
    const char *line0 = "ABCDEFGHIJKLMNOP";
    EXPECT_EQ(*record, hub_record({{0, {1}}, {22, {line0, line0 + 16}}}));
    EXPECT_EQ(record_be16(*record, 70), 0xEFD5);  // 0100 + 0600 + 4344 ("CD") + 4B4C ("KL") + 5A45 ("ZE")
    for (const char *text : {"L 0-1", "L 0-2", "L 0-3:ABCDEFGHIJKLMNOP", "ackLine0 = 3", "Ack Line0 Ok"}) {
        auto index = rig.hub.wait_stdout_line(text, WAIT, line);  // in order; watchdog lines may come between
        ASSERT_TRUE(index) << text;
        line = *index + 1;
    }
    rig.can.inject(frame(0x21F, {5}));
    record = pc.wait_record_type(MSG_TYPE_EXAM_STATUS, WAIT);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, hub_record({{0, {4}}, {12, {5}}, {22, {line0, line0 + 16}}}));
    EXPECT_EQ(record_be16(*record, 70), 0xF2D5);  // as above with 0400 in place of 0100
    ASSERT_TRUE(rig.hub.wait_stdout_line("QSD STATUS CODE: 5", WAIT, line));
    rig.can.inject(frame(0x217, {9, 2, 3, 4, 5, 6, 7, 8}));
    record = pc.wait_record_type(MSG_TYPE_EXAM_PARAM, WAIT);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, hub_record({{0, {5}}, {6, {0x04, 0x03}}, {12, {5, 9, 2, 5, 6, 7}}, {22, {line0, line0 + 16}}}));
    ASSERT_TRUE(rig.can.wait_for_frames(from + 3, WAIT));
    EXPECT_EQ(rig.frames_from(from), (Lines{"287#1600", "287#1603", "287#1602"}));
    EXPECT_EQ(pc.bad_checksums(), 0u);
}

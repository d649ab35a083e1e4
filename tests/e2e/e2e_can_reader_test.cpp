// The CAN reader through the real hub: which frames it dumps, where it hands
// them (CPU node, display node when `display` is on, nobody else), and
// frames that wait in the device together.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "e2e_can_support.h"
#include "hub_rig.h"

using namespace std::chrono_literals;
using e2e::node_frame;

TEST(CanReader, DumpsAndDispatchesFramesByNode) {
    hubtest::HubRig rig;  // display off
    rig.start();
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    size_t line = rig.hub.out().line_count();
    size_t from = rig.can.frame_count();
    // Not dumped: the two process-data requests and 0x283.
    rig.can.inject(node_frame(0x107));
    rig.can.inject(node_frame(0x103));
    rig.can.inject(node_frame(0x283, {1, 2}));
    // Node 5, dumped and dropped: as the CPU node's these would be answered.
    rig.can.inject(node_frame(0x105));
    rig.can.inject(node_frame(0x235, {0, 1, 2, 3, 4}));
    // The display node while display is off: dumped, not handled.
    rig.can.inject(node_frame(0x223, {1}));
    rig.can.inject(node_frame(0x20B, {0x90, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}));
    // Answered, not dumped: everything above has been handled when it comes.
    rig.can.inject(node_frame(0x107));
    ASSERT_TRUE(rig.can.wait_for_frames(from + 2, 5s));

    const std::vector<std::string> dumped = {
        "Reading. Id: 261, length: 0, data: ",
        "Reading. Id: 565, length: 5, data: 0x00 0x01 0x02 0x03 0x04 ",
        "Reading. Id: 547, length: 1, data: 0x01 ",
        "Reading. Id: 523, length: 8, data: 0x90 0x41 0x42 0x43 0x44 0x45 0x46 0x47 ",
    };
    ASSERT_TRUE(rig.hub.wait_stdout_line(dumped.back(), 5s, line));
    EXPECT_EQ(e2e::stdout_lines_from(rig.hub, line), dumped);
    EXPECT_EQ(e2e::frame_texts(rig.can.frames(), from), (std::vector<std::string>{"287#0001000000", "287#0001000000"}));
}

TEST(CanReader, FramesWaitingTogetherAreHandledInTheirOrder) {
    hubtest::HubRig rig;
    // Queued before the hub connects: they reach it while it still waits for
    // the controller, so all three wait for the reader's first poll.
    rig.can.inject(node_frame(0x237, {0, 1, 2, 3, 4}));
    rig.can.inject(node_frame(0x21F, {5}));
    rig.can.inject(node_frame(0x217, {1, 2, 3, 4, 5, 6, 7, 8}));
    rig.start();

    ASSERT_TRUE(rig.can.wait_for_frames(3, 5s));
    EXPECT_EQ(e2e::frame_texts(rig.can.frames()), (std::vector<std::string>{"287#020001001B", "287#1603", "287#1602"}));

    // In the order read, among the start-up lines of the other threads.
    const std::vector<std::string> handled = {
        "Reading. Id: 567, length: 5, data: 0x00 0x01 0x02 0x03 0x04 ",
        "HW Major: 1",
        "HW Minor: 2",
        "FW Major: 3",
        "FW Minor: 4",
        "Reading. Id: 543, length: 1, data: 0x05 ",
        "QSD STATUS CODE: 5",
        "Reading. Id: 535, length: 8, data: 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 ",
    };
    ASSERT_TRUE(rig.hub.wait_stdout_line(handled.back(), 5s));
    std::vector<std::string> lines;
    for (const std::string &l : rig.hub.stdout_lines())
        if (l.rfind("Reading. ", 0) == 0 || std::find(handled.begin(), handled.end(), l) != handled.end())
            lines.push_back(l);
    EXPECT_EQ(lines, handled);
}

TEST(CanDisplayNode, ClearDisplayIsAcknowledgedToTheCpuNodeWhenDisplayIsOn) {
    hubtest::HubRig rig;
    rig.conf.display = true;
    rig.start();
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    size_t line = rig.hub.out().line_count();
    size_t from = rig.can.frame_count();
    // Neither the display node's state command, nor its process-data
    // request, nor a clear display with a data byte other than 1 does anything.
    rig.can.inject(node_frame(0x00B));
    rig.can.inject(node_frame(0x103));
    rig.can.inject(node_frame(0x223, {0}));
    // Clear display: both lines blanked, each acknowledged to the CPU node.
    rig.can.inject(node_frame(0x223, {1}));
    rig.can.inject(node_frame(0x107));
    ASSERT_TRUE(rig.can.wait_for_frames(from + 3, 5s));
    EXPECT_EQ(e2e::frame_texts(rig.can.frames(), from),
              (std::vector<std::string>{"287#1600", "287#1601", "287#0001000000"}));

    const std::string blank_line(16, ' ');
    const std::vector<std::string> printed = {
        "Reading. Id: 11, length: 0, data: ",
        "Reading. Id: 547, length: 1, data: 0x00 ",
        "Reading. Id: 547, length: 1, data: 0x01 ",
        "Clear Display",
        "L 0-1",
        "L 0-2",
        "L 0-3:" + blank_line,
        "ackLine0 = 3",
        "Ack Line0 Ok",
        "L 1-1",
        "L 1-2",
        "L 1-3:" + blank_line,
        "ackLine1 = 3",
        "Ack Line1 Ok",
    };
    ASSERT_TRUE(rig.hub.wait_stdout_line(printed.back(), 5s, line));
    EXPECT_EQ(e2e::stdout_lines_from(rig.hub, line), printed);
}

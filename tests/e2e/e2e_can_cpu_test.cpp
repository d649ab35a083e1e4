// The CPU node's messages through the real hub: state commands and the
// process-data reply, and the messages whose lines are printed whatever
// `verbose` says (version, Ethernet configuration).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e_can_support.h"
#include "hub_rig.h"

using namespace std::chrono_literals;
using e2e::node_frame;

TEST(CanCpuNode, StateCommandsMoveTheNodeAndTheProcessDataReportsIt) {
    hubtest::HubRig rig;
    rig.start();
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    // 0x00F: command 8, PRE_OP -> OP. A state command has no data; the
    // reader's dump is the header and the newline.
    size_t line = rig.hub.out().line_count();
    rig.can.inject(node_frame(0x00F));
    auto index = rig.hub.wait_stdout_line("Reading. Id: 15, length: 0, data: ", 5s, line);
    ASSERT_TRUE(index);
    ASSERT_TRUE(rig.hub.wait_stdout_line("CPU: PRE_OP -> OP", 5s, *index + 1));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 2, 5s), "287#0002000000");

    // 0x027: command 32, OP -> INIT, and INIT moves on to PRE_OP by itself.
    line = rig.hub.out().line_count();
    rig.can.inject(node_frame(0x027));
    index = rig.hub.wait_stdout_line("CPU: OP -> INIT", 5s, line);
    ASSERT_TRUE(index);
    ASSERT_TRUE(rig.hub.wait_stdout_line("CPU: INIT -> PRE_OP", 5s, *index + 1));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");
    EXPECT_EQ(e2e::stdout_lines_from(rig.hub, line),
              (std::vector<std::string>{"Reading. Id: 39, length: 0, data: ", "CPU: OP -> INIT",
                                        "CPU: INIT -> PRE_OP"}));

    // Bit 6 is not part of a state command: 0x047 is command 0 and does
    // nothing, 0x04F is command 8 like 0x00F.
    line = rig.hub.out().line_count();
    size_t frames = rig.can.frame_count();
    rig.can.inject(node_frame(0x047));
    auto reply = e2e::request_process_data(rig.can, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(e2e::frame_text(*reply), "287#0001000000");
    rig.can.inject(node_frame(0x04F));
    ASSERT_TRUE(rig.hub.wait_stdout_line("CPU: PRE_OP -> OP", 5s, line));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 2, 5s), "287#0002000000");
    EXPECT_EQ(e2e::stdout_lines_from(rig.hub, line),
              (std::vector<std::string>{"Reading. Id: 71, length: 0, data: ", "Reading. Id: 79, length: 0, data: ",
                                        "CPU: PRE_OP -> OP"}));
    // State commands are never answered; only the process-data requests were.
    for (const std::string &text : e2e::frame_texts(rig.can.frames(), frames))
        EXPECT_EQ(text.substr(0, 6), "287#00") << text;

    // The writer traces none of the frames the hub sends (all 0x287).
    EXPECT_EQ(rig.hub.stdout_text().find("Writing"), std::string::npos);
}

TEST(CanCpuNode, VersionAndEthernetLinesArePrintedWithVerboseOff) {
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    rig.start();
    ASSERT_TRUE(rig.gpio.wait_for_requests(7, 1, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    // Version: the node's numbers printed, the hub's fixed version answered.
    size_t from = rig.can.frame_count();
    rig.can.inject(node_frame(0x237, {0x09, 1, 2, 3, 4}));
    ASSERT_TRUE(rig.can.wait_for_frames(from + 1, 5s));
    EXPECT_EQ(e2e::frame_text(rig.can.frames()[from]), "287#020001001B");

    // Ethernet: the address and mask printed, then the command, run by the
    // command interpreter (the stub ifconfig records its arguments).
    rig.can.inject(node_frame(0x247, {10, 1, 2, 3, 255, 0, 0, 0}));
    ASSERT_TRUE(rig.hub.wait_stub_calls("ifconfig", 1, 5s));
    EXPECT_EQ(rig.hub.stub_calls("ifconfig"), std::vector<std::string>{"eth0 10.1.2.3"});
    ASSERT_TRUE(rig.hub.wait_stdout_line("ifconfig eth0 10.1.2.3", 5s));

    // Nothing answers the Ethernet message.
    auto reply = e2e::request_process_data(rig.can, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(e2e::frame_texts(rig.can.frames(), from), (std::vector<std::string>{"287#020001001B", "287#0001000000"}));

    // With verbose off these lines are all there is.
    const std::vector<std::string> printed = {
        "HW Major: 1", "HW Minor: 2", "FW Major: 3", "FW Minor: 4",
        "Ip: 0a010203; 10.1.2.3", "Netmask: ff000000; 255.0.0.0", "ifconfig eth0 10.1.2.3",
    };
    EXPECT_EQ(e2e::stdout_lines_from(rig.hub, 0), printed);
}

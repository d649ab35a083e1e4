// The CPU node's reports carried through the real hub to a connected PC, and
// their acknowledgements back to the CPU node.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_can_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using e2e::node_frame;

namespace {

// The record as the hub holds it before any report: Word8 6 and the model name.
hubtest::HubRecord fresh_record() {
    hubtest::HubRecord r{};
    r[8] = 6;
    std::memcpy(&r[62], "  ZELT 4", 8);
    return r;
}

}  // namespace

TEST(CanReports, DisplayLineAndExamStatusReachThePcAndAreAcknowledged) {
    hubtest::HubRig rig;
    rig.start();
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    hubtest::PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 5s));
    ASSERT_TRUE(rig.hub.wait_stdout_line(
        [](const std::string &l) { return l.rfind("Server: connect from host 127.0.0.1, port ", 0) == 0; }, 5s));

    // Line 0 in three segments; the last carries two characters, the rest of
    // its data is not part of the line.
    size_t line = rig.hub.out().line_count();
    const size_t from = rig.can.frame_count();
    rig.can.inject(node_frame(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}));
    rig.can.inject(node_frame(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'}));
    rig.can.inject(node_frame(0x20F, {0x30, 'O', 'P', 'Q', 'R', 'S', 'T', 'U'}));

    auto record = pc.wait_record_type(1, 5s);
    ASSERT_TRUE(record);
    hubtest::HubRecord line_record = fresh_record();
    line_record[0] = 1;
    std::memcpy(&line_record[22], "ABCDEFGHIJKLMNOP", 16);
    line_record[70] = 0xEF;  // 0100 + 0600 + 4344 ("CD") + 4B4C ("KL") + 5A45 ("ZE")
    line_record[71] = 0xD5;
    EXPECT_EQ(*record, line_record);
    ASSERT_TRUE(rig.can.wait_for_frames(from + 1, 5s));
    EXPECT_EQ(e2e::frame_text(rig.can.frames()[from]), "287#1600");
    // In order; the watchdog's lines may come in between.
    for (const char *text : {"L 0-1", "L 0-2", "L 0-3:ABCDEFGHIJKLMNOP", "ackLine0 = 3", "Ack Line0 Ok"}) {
        auto index = rig.hub.wait_stdout_line(text, 5s, line);
        ASSERT_TRUE(index) << text;
        line = *index + 1;
    }

    // Exam status: printed, reported with the standing line, acknowledged.
    rig.can.inject(node_frame(0x21F, {5}));
    record = pc.wait_record_type(4, 5s);
    ASSERT_TRUE(record);
    hubtest::HubRecord status_record = line_record;
    status_record[0] = 4;
    status_record[12] = 5;
    status_record[70] = 0xF2;  // as above with 0400 in place of 0100
    status_record[71] = 0xD5;
    EXPECT_EQ(*record, status_record);
    ASSERT_TRUE(rig.hub.wait_stdout_line("QSD STATUS CODE: 5", 5s, line));
    ASSERT_TRUE(rig.can.wait_for_frames(from + 2, 5s));
    EXPECT_EQ(e2e::frame_texts(rig.can.frames(), from), (std::vector<std::string>{"287#1600", "287#1603"}));
}

// Dates for the PC: the CPU node's date and time comes back on request as the
// start time, and the PC can keep the last one it was sent as its last
// calibration time (in memory only, zero until set).
#include <gtest/gtest.h>

#include <chrono>

#include "e2e_pc_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using namespace e2e_pc;
using hubtest::PcClient;
using hubtest::PcRecord;

namespace {

// The record after the test selection 01..08: Word6, Word8, Word10, Byte13, Byte14.
HubRecord after_test_selection() {
    HubRecord r = fresh_record();
    r = with_bytes(r, 6, {0x04, 0x03, 0x08, 0x07, 0x06, 0x05});
    return with_bytes(r, 13, {0x01, 0x02});
}

// A date/time record: type 3 and the eight date bytes at 54..61.
HubRecord date_record(std::initializer_list<uint8_t> date) {
    HubRecord r = with_bytes(after_test_selection(), 0, {0x03, 0x00});
    return sealed(with_bytes(r, 54, date));
}

}  // namespace

TEST(PcLinkDates, StartTimeAndLastCalibrationTimeComeBackToThePc) {
    hubtest::HubRig rig;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    ASSERT_TRUE(pc.read_record(5s));
    // Date requests count only once the CPU node is initialised.
    rig.can.inject(test_selection_1_to_8());
    ASSERT_TRUE(pc.wait_record_type(6, 5s));

    // Nothing set yet: every date field zero.
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_REQ_LAST_CAL_TIME}));
    auto unset = pc.wait_record_type(3, 5s);
    ASSERT_TRUE(unset);
    EXPECT_EQ(hex(*unset), hex(date_record({0, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Send Last Calibration Time to PC", 2s));

    // 2024-05-06 07:08:09 from the CPU node.
    rig.can.inject(cpu_frame(ID_CPU_DATE_TIME, {0x00, 0x07, 0xE8, 0x05, 0x06, 0x07, 0x08, 0x09}));
    auto year = rig.hub.wait_stdout_line("Year: 2024", 5s);
    ASSERT_TRUE(year);
    ASSERT_TRUE(rig.hub.wait_stdout_line("Second: 9", 2s, *year + 1));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_REQ_TIME_START}));
    auto start = pc.wait_record_type(3, 5s);
    ASSERT_TRUE(start);
    EXPECT_EQ(hex(*start), hex(date_record({0xE8, 0x07, 0x05, 0x00, 0x06, 0x07, 0x08, 0x09})));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Send Start Time to PC", 2s));

    // Kept as the calibration time; a later date from the CPU node does not change it.
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_SET_LAST_CAL_TIME}));
    rig.can.inject(cpu_frame(ID_CPU_DATE_TIME, {0x00, 0x07, 0xE9, 0x0C, 0x1F, 0x17, 0x3B, 0x3A}));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Second: 58", 5s, *year + 1));
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_REQ_LAST_CAL_TIME}));
    auto calibration = pc.wait_record_type(3, 5s);
    ASSERT_TRUE(calibration);
    EXPECT_EQ(hex(*calibration), hex(date_record({0xE8, 0x07, 0x05, 0x00, 0x06, 0x07, 0x08, 0x09})));

    ASSERT_TRUE(pc.send(PcRecord{.event = EV_REQ_TIME_START}));
    auto later = pc.wait_record_type(3, 5s);
    ASSERT_TRUE(later);
    EXPECT_EQ(hex(*later), hex(date_record({0xE9, 0x07, 0x0C, 0x00, 0x1F, 0x17, 0x3B, 0x3A})));
    EXPECT_TRUE(checksums_ok(pc.records()));
}

// The PC status in the watchdog answers drives the sensor-ready line (bit
// 0x40 of the GPIO device): 1 resets it, 0 sets it, any other value leaves
// it alone; losing the PC counts as status 0.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "devsim/gpio_device.h"
#include "e2e_pc_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using namespace e2e_pc;
using hubtest::PcClient;
using hubtest::PcRecord;

namespace {

constexpr uint32_t SENSOR_READY = 0x40;

bool is_time_out_report(const std::string &line) { return line.rfind("Time Out: ", 0) == 0; }

}  // namespace

TEST(PcLinkStatus, StatusOneResetsTheSensorLineUntilThePcLeaves) {
    hubtest::HubRig rig;
    rig.start();
    // The GPIO thread sets the line once at start.
    ASSERT_TRUE(rig.gpio.wait_for_requests(devsim::GPIO_REQ_SET_BITS, 1, 10s));
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & SENSOR_READY) != 0; }, 5s));
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    ASSERT_TRUE(pc.read_record(5s));
    size_t requests_from = rig.gpio.request_count();

    ASSERT_TRUE(pc.send(PcRecord{.event = EV_WATCHDOG, .pc_status = 1}));
    auto to_one = rig.hub.wait_stdout_line("PC change status: from: 0, to 1", 5s);
    ASSERT_TRUE(to_one);
    ASSERT_TRUE(rig.hub.wait_stdout_line("sensorReadyPanIo RESET", 2s, *to_one + 1));
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & SENSOR_READY) == 0; }, 2s));

    // Status 2 is recorded but touches no line.
    ASSERT_TRUE(pc.send(PcRecord{.event = EV_WATCHDOG, .pc_status = 2}));
    auto to_two = rig.hub.wait_stdout_line("PC change status: from: 1, to 2", 5s, *to_one + 1);
    ASSERT_TRUE(to_two);

    pc.close();
    auto retval = rig.hub.wait_stdout_line("recv retval: 0", 5s, *to_two + 1);
    ASSERT_TRUE(retval);
    auto to_zero = rig.hub.wait_stdout_line("PC change status: from: 2, to 0", 2s, *retval + 1);
    ASSERT_TRUE(to_zero);
    ASSERT_TRUE(rig.hub.wait_stdout_line("sensorReadyPanIo SET", 2s, *to_zero + 1));
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & SENSOR_READY) != 0; }, 2s));
    ASSERT_TRUE(rig.hub.wait_stderr_line(is_time_out_report, 2s));

    // One reset for status 1, one set for the disconnect, nothing for status 2.
    EXPECT_EQ(line_requests(rig.gpio.requests(), requests_from), (std::vector<std::string>{"8:40", "7:40"}));
    EXPECT_TRUE(checksums_ok(pc.records()));
}

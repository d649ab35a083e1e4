// Start-up of the real hub: the controller wait, the start-up lines, idling, missing devices.
#include <gtest/gtest.h>

#include <algorithm>

#include "hub_rig.h"

using namespace std::chrono_literals;
using namespace hubtest;

TEST(StartUp, WaitsForTheControllerStartsInOrderThenIdles) {
    HubRig rig;
    rig.can.set_not_ready(3);
    rig.start();
    ASSERT_TRUE(rig.wait_started());
    // One status query a second until the controller is ready: three waits
    // between the four queries, timed by when the device got them (a single
    // late one shifts only its neighbours, the whole stays near 3 s).
    const auto queries = rig.can.requests();
    ASSERT_EQ(queries.size(), 4u);
    const auto waits = queries.back().at - queries.front().at;
    EXPECT_TRUE(waits >= 2500ms && waits <= 4500ms) << std::chrono::duration_cast<Millis>(waits).count();
    std::vector<std::string> lines = rig.hub.stdout_lines();
    ASSERT_EQ(lines.size(), 23u);
    const std::vector<std::string> head = {
        "Configuration:", "verbose: true", "syslog: false", "simulator: false", "temperature: false",
        "display: false", "canDevice: " + rig.can.path(), "gpioDevice: " + rig.gpio.path(),
        "serverPort: " + std::to_string(rig.port), "pollTime: 2", "pollTime_calibration: 10"};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 11), head);
    ASSERT_TRUE(starts_with("Can fid = ")(lines[11]) && starts_with("gpio fid = ")(lines[12])) << lines[11];
    const std::string can_fid = lines[11].substr(10), gpio_fid = lines[12].substr(11);
    EXPECT_NE(can_fid, gpio_fid);
    EXPECT_TRUE(std::all_of(can_fid.begin(), can_fid.end(), ::isdigit)) << can_fid;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 13, lines.begin() + 17),
              (std::vector<std::string>{"Init SJA1000 = 1", "Init SJA1000 = 1", "Init SJA1000 = 1", "Init SJA1000 = 0"}));
    // Threads start in any order; the sensor-ready line only once the GPIO thread runs.
    std::vector<std::string> threads(lines.begin() + 17, lines.end());
    const std::string gpio_line = "Thread \"gpio_thread\" fid = " + gpio_fid;
    EXPECT_LT(std::find(threads.begin(), threads.end(), gpio_line),
              std::find(threads.begin(), threads.end(), "sensorReadyPanIo SET"));
    std::vector<std::string> expected = {"Thread \"tcp_server_thread\"", "Thread \"can_tx_thread\" fid = " + can_fid,
                                         "Thread \"can_rx_thread\" fid = " + can_fid, gpio_line,
                                         "CPU: INIT -> PRE_OP", "sensorReadyPanIo SET"};
    std::sort(threads.begin(), threads.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(threads, expected);
    // Idle: nothing printed, next to no processor time (only a spinning thread breaks the bound).
    EXPECT_LT(rig.quiet_cpu_percent(rig.hub.out(), 3s).value_or(100), 20.0);
    EXPECT_EQ(rig.can.status_queries(), 4u);
    EXPECT_EQ(rig.hub.stderr_text(), "");
}

// libconfuse stops at a syntax error and says so; the lines before it hold.
TEST(StartUp, ASyntaxErrorKeepsTheLinesBeforeIt) {
    HubRig rig;
    rig.conf.poll_time = 7;
    rig.conf.extra = "display = = true\npollTime_calibration = 3\n";
    rig.start();
    ASSERT_TRUE(rig.wait_started());
    const auto lines = rig.hub.stdout_lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.begin() + 11),
              (std::vector<std::string>{"serverPort: " + std::to_string(rig.port), "pollTime: 7", "pollTime_calibration: 10"}));
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    EXPECT_EQ(rig.hub.stderr_lines(), std::vector<std::string>{"hub.conf:10: unexpected token '='"}) << rig.hub.stderr_text();
}

// Both devices away at start: reported, waited for, and used once there.
TEST(StartUp, MissingDevicesAreReportedAndAwaited) {
    HubRig rig;
    ASSERT_TRUE(rig.can.set_listening(false));
    ASSERT_TRUE(rig.gpio.set_listening(false));
    rig.start();
    const std::string missing_can = "hub: cannot open the CAN device " + rig.can.path() + ": No such file or directory";
    const std::string missing_gpio = "hub: cannot open the GPIO device " + rig.gpio.path() + ": No such file or directory";
    ASSERT_TRUE(rig.hub.wait_stderr_line(missing_can, WAIT));
    ASSERT_TRUE(rig.hub.wait_stderr_line(missing_gpio, WAIT));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Can fid = -1", WAIT));
    ASSERT_TRUE(rig.hub.wait_stdout_line("gpio fid = -1", WAIT));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Init SJA1000 = 1", WAIT));
    EXPECT_TRUE(rig.hub.running());
    ASSERT_TRUE(rig.can.set_listening(true));
    ASSERT_TRUE(rig.gpio.set_listening(true));
    const std::string can_there = "hub: CAN device " + rig.can.path() + " is there now (fid ";
    auto index = rig.hub.wait_stderr_line(starts_with(can_there), WAIT);
    ASSERT_TRUE(index);
    std::string fid = rig.hub.stderr_lines()[*index].substr(can_there.size());
    ASSERT_TRUE(!fid.empty() && fid.back() == ')');
    fid.pop_back();
    ASSERT_TRUE(rig.wait_started());
    EXPECT_TRUE(rig.hub.wait_stdout_line("Thread \"can_rx_thread\" fid = " + fid, WAIT));
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    EXPECT_TRUE(rig.hub.wait_stderr_line(starts_with("hub: GPIO device " + rig.gpio.path() + " is there now"), WAIT));
    EXPECT_EQ(rig.can.connections(), 1u);
    EXPECT_TRUE(rig.gpio.wait_for_bits([](uint32_t bits) { return (bits & 0x40) != 0; }, WAIT));
    auto errors = rig.hub.stderr_lines();
    EXPECT_EQ(errors.size(), 4u) << rig.hub.stderr_text();
    EXPECT_EQ(std::vector<std::string>(errors.begin(), errors.begin() + 2),
              (std::vector<std::string>{missing_can, missing_gpio}));
}

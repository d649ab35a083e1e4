// Start-up of the real hub on simulated devices: the wait for the CAN
// controller, the order of the start-up lines, an idle hub's processor use,
// and a CAN device that is not there yet.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_can_support.h"
#include "hub_rig.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

bool starts_with(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

// The number after `prefix` in a line such as "Can fid = 3"; "" when the rest
// is not a non-negative number.
std::string number_after(const std::string &line, const std::string &prefix) {
    if (!starts_with(line, prefix)) return "";
    std::string rest = line.substr(prefix.size());
    if (rest.empty() || !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; })) return "";
    return rest;
}

}  // namespace

TEST(StartUp, WaitsForTheControllerStartsInOrderThenIdles) {
    hubtest::HubRig rig;
    rig.can.set_not_ready(3);
    rig.start();

    // One status query a second until the controller is ready: three "not
    // ready" answers, then ready, one trace line for each.
    std::vector<Clock::time_point> seen;
    size_t from = 0;
    for (int status : {1, 1, 1, 0}) {
        auto index = rig.hub.wait_stdout_line("Init SJA1000 = " + std::to_string(status), 5s, from);
        ASSERT_TRUE(index) << "no \"Init SJA1000 = " << status << "\" line after line " << from;
        seen.push_back(Clock::now());
        from = *index + 1;
    }
    for (size_t i = 1; i < seen.size(); ++i) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(seen[i] - seen[i - 1]);
        EXPECT_GE(gap, 900ms) << "between Init lines " << i - 1 << " and " << i;
        EXPECT_LE(gap, 1900ms) << "between Init lines " << i - 1 << " and " << i;
    }

    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    std::vector<std::string> lines = rig.hub.stdout_lines();
    ASSERT_EQ(lines.size(), 23u);

    const std::vector<std::string> dump = {
        "Configuration:",
        "verbose: true",
        "syslog: false",
        "simulator: false",
        "temperature: false",
        "display: false",
        "canDevice: " + rig.can.path(),
        "gpioDevice: " + rig.gpio.path(),
        "serverPort: " + std::to_string(rig.port),
        "pollTime: 2",
        "pollTime_calibration: 10",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 11), dump);

    const std::string can_fid = number_after(lines[11], "Can fid = ");
    const std::string gpio_fid = number_after(lines[12], "gpio fid = ");
    ASSERT_FALSE(can_fid.empty()) << lines[11];
    ASSERT_FALSE(gpio_fid.empty()) << lines[12];
    EXPECT_NE(can_fid, gpio_fid);
    const std::vector<std::string> init = {"Init SJA1000 = 1", "Init SJA1000 = 1", "Init SJA1000 = 1",
                                           "Init SJA1000 = 0"};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 13, lines.begin() + 17), init);

    // The four threads and the main loop run at once, so their lines come in
    // any order, but all after the controller is ready and the sensor-ready
    // line only once the GPIO thread runs.
    std::vector<std::string> threads(lines.begin() + 17, lines.end());
    auto gpio_line = std::find(threads.begin(), threads.end(), "Thread \"gpio_thread\" fid = " + gpio_fid);
    auto ready_line = std::find(threads.begin(), threads.end(), "sensorReadyPanIo SET");
    EXPECT_LT(gpio_line, ready_line);
    std::vector<std::string> expected_threads = {
        "Thread \"tcp_server_thread\"",
        "Thread \"can_tx_thread\" fid = " + can_fid,
        "Thread \"can_rx_thread\" fid = " + can_fid,
        "Thread \"gpio_thread\" fid = " + gpio_fid,
        "CPU: INIT -> PRE_OP",
        "sensorReadyPanIo SET",
    };
    std::sort(threads.begin(), threads.end());
    std::sort(expected_threads.begin(), expected_threads.end());
    EXPECT_EQ(threads, expected_threads);

    // Idle, PC not connected, bus silent: nothing printed, and next to no
    // processor time. The wait for a line that must not come is the window.
    const auto cpu_before = rig.hub.cpu_time();
    const auto window_start = Clock::now();
    EXPECT_FALSE(rig.hub.wait_stdout_line([](const std::string &) { return true; }, 3s, lines.size()));
    const auto cpu = rig.hub.cpu_time() - cpu_before;
    const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - window_start);
    const double percent = 100.0 * static_cast<double>(cpu.count()) / static_cast<double>(window.count());
    RecordProperty("idle_cpu_ms", std::to_string(cpu.count()));
    RecordProperty("idle_window_ms", std::to_string(window.count()));
    printf("idle hub: %lld ms of processor time in %lld ms (%.1f%% of one core)\n",
           static_cast<long long>(cpu.count()), static_cast<long long>(window.count()), percent);
    // A generous bound that only a spinning thread breaks.
    EXPECT_LT(percent, 20.0);

    EXPECT_EQ(rig.can.status_queries(), 4u);
    EXPECT_EQ(rig.hub.stderr_text(), "");
}

TEST(StartUp, MissingCanDeviceIsReportedAndAwaited) {
    hubtest::HubRig rig;
    ASSERT_TRUE(rig.can.set_listening(false));
    rig.start();
    const std::string path = rig.can.path();

    const std::string missing = "hub: cannot open the CAN device " + path + ": No such file or directory";
    ASSERT_TRUE(rig.hub.wait_stderr_line(missing, 5s));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Can fid = -1", 5s));
    // Not ready while the device is away; the hub keeps waiting.
    ASSERT_TRUE(rig.hub.wait_stdout_line("Init SJA1000 = 1", 5s));
    EXPECT_TRUE(rig.hub.running());

    ASSERT_TRUE(rig.can.set_listening(true));
    const std::string there = "hub: CAN device " + path + " is there now (fid ";
    auto index = rig.hub.wait_stderr_line([&](const std::string &line) { return starts_with(line, there); }, 5s);
    ASSERT_TRUE(index);
    std::string fid = rig.hub.stderr_lines()[*index].substr(there.size());
    ASSERT_FALSE(fid.empty());
    ASSERT_EQ(fid.back(), ')');
    fid.pop_back();

    ASSERT_TRUE(rig.hub.wait_stdout_line("Init SJA1000 = 0", 5s));
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    EXPECT_TRUE(rig.hub.wait_stdout_line("Thread \"can_rx_thread\" fid = " + fid, 1s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");
    EXPECT_EQ(rig.can.connections(), 1u);

    EXPECT_EQ(rig.hub.stderr_lines(), (std::vector<std::string>{missing, there + fid + ")"}));
}

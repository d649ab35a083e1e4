// A CAN device that misbehaves under the real hub: one that hangs up and is
// away for a while, and one that stops taking frames so that the transmit
// ring fills.
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
using e2e::node_frame;

TEST(CanDeviceFaults, HangUpLeavesTheHubIdleUntilTheDeviceReturns) {
    hubtest::HubRig rig;
    rig.start();
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    // Gone, and nothing to connect to again.
    ASSERT_TRUE(rig.can.set_listening(false));
    rig.can.hang_up();
    const std::string fault = "hub: CAN device reports a hang-up; retrying every second";
    ASSERT_TRUE(rig.hub.wait_stderr_line(fault, 5s));

    // While it is away the hub retries once a second without spinning and
    // says nothing more. The wait for a line that must not come is the window.
    const size_t err_lines = rig.hub.err().line_count();
    const auto cpu_before = rig.hub.cpu_time();
    const auto window_start = Clock::now();
    EXPECT_FALSE(rig.hub.wait_stderr_line([](const std::string &) { return true; }, 3s, err_lines));
    const auto cpu = rig.hub.cpu_time() - cpu_before;
    const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - window_start);
    const double percent = 100.0 * static_cast<double>(cpu.count()) / static_cast<double>(window.count());
    RecordProperty("hung_up_cpu_ms", std::to_string(cpu.count()));
    RecordProperty("hung_up_window_ms", std::to_string(window.count()));
    printf("hub with its CAN device gone: %lld ms of processor time in %lld ms (%.1f%% of one core)\n",
           static_cast<long long>(cpu.count()), static_cast<long long>(window.count()), percent);
    EXPECT_LT(percent, 20.0);
    EXPECT_TRUE(rig.hub.running());

    // Back: the hub connects again and handles frames as before.
    ASSERT_TRUE(rig.can.set_listening(true));
    ASSERT_TRUE(rig.can.wait_for_connections(2, 5s));
    size_t from = rig.can.frame_count();
    size_t line = rig.hub.out().line_count();
    rig.can.inject(node_frame(0x237, {0, 1, 2, 3, 4}));
    ASSERT_TRUE(rig.can.wait_for_frames(from + 1, 5s));
    EXPECT_EQ(e2e::frame_text(rig.can.frames()[from]), "287#020001001B");
    ASSERT_TRUE(rig.hub.wait_stdout_line("FW Minor: 4", 5s, line));
    EXPECT_EQ(e2e::stdout_lines_from(rig.hub, line),
              (std::vector<std::string>{"Reading. Id: 567, length: 5, data: 0x00 0x01 0x02 0x03 0x04 ", "HW Major: 1",
                                        "HW Minor: 2", "FW Major: 3", "FW Minor: 4"}));
    ASSERT_TRUE(rig.hub.wait_stderr_line("hub: CAN device is back", 5s));
    EXPECT_EQ(rig.hub.stderr_lines(), (std::vector<std::string>{fault, "hub: CAN device is back"}));
}

TEST(CanDeviceFaults, StalledDeviceFillsTheRingThenTheHubCarriesOn) {
    hubtest::HubRig rig;
    rig.start();
    ASSERT_TRUE(e2e::wait_started(rig.hub, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    // The device stops taking frames: the writer blocks once its socket is
    // full (a few hundred frames), the ring fills behind it, and every reply
    // after that is dropped with an at-sign.
    const size_t before = rig.can.frame_count();
    const size_t from_byte = rig.hub.stdout_text().size();
    rig.can.stall();
    constexpr size_t kRequests = 600;
    for (size_t i = 0; i < kRequests; ++i) rig.can.inject(node_frame(0x107));
    // A date/time message is printed and answered by nothing: once its lines
    // are out, every request before it has been handled.
    rig.can.inject(node_frame(0x267, {0, 0x07, 0xE8, 12, 31, 23, 59, 58}));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Second: 58", 10s));

    const std::string text = rig.hub.stdout_text().substr(from_byte);
    const size_t marker = text.find("Reading. Id: 615, length: 8, data: 0x00 0x07 0xe8 0x0c 0x1f 0x17 0x3b 0x3a \n");
    ASSERT_NE(marker, std::string::npos) << text;
    const size_t dropped = marker;
    EXPECT_GE(dropped, 1u);
    EXPECT_LT(dropped, kRequests);
    // One at-sign per dropped frame, on no line of its own.
    EXPECT_EQ(text.substr(0, marker), std::string(dropped, '@'));
    EXPECT_EQ(text.substr(marker), "Reading. Id: 615, length: 8, data: 0x00 0x07 0xe8 0x0c 0x1f 0x17 0x3b 0x3a \n"
                                   "Year: 2024\nMonth: 12\nDay: 31\nHour: 23\nMinute: 59\nSecond: 58\n");
    printf("stalled device: %zu of %zu replies dropped\n", dropped, kRequests);

    // Nothing got through while stalled. Going again: every reply that was
    // not dropped goes out, once, in order, and the hub answers as before.
    EXPECT_EQ(rig.can.frame_count(), before);
    rig.can.resume();
    const size_t sent = kRequests - dropped;
    ASSERT_TRUE(rig.can.wait_for_frames(before + sent, 10s));
    auto reply = e2e::request_process_data(rig.can, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(rig.can.frame_count(), before + sent + 1);
    EXPECT_EQ(e2e::frame_texts(rig.can.frames(), before), std::vector<std::string>(sent + 1, "287#0001000000"));

    // No at-sign but those, and the writer traces none of the hub's frames.
    const std::string all = rig.hub.stdout_text();
    EXPECT_EQ(static_cast<size_t>(std::count(all.begin(), all.end(), '@')), dropped);
    EXPECT_EQ(all.find("Writing"), std::string::npos);
}

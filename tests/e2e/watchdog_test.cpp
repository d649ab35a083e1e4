// The PC link's watchdog seen from the PC.
#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include <regex>

#include "hub_rig.h"

using namespace std::chrono_literals;
using namespace hubtest;
using Clock = std::chrono::system_clock;  // the clock of the records' receive times

namespace {

Millis since(Clock::time_point t) { return std::chrono::duration_cast<Millis>(Clock::now() - t); }
// Between the receipt of record `a` and of record `b`, as the kernel saw them.
Millis gap(const PcClient &pc, size_t a, size_t b) {
    return std::chrono::duration_cast<Millis>(pc.receive_times().at(b) - pc.receive_times().at(a));
}

// Reads the watchdogs of a PC that never answers: three, the first about
// 100 ms after connecting, then the hub closes, two poll periods after the first
// (a lower bound from the first's receive time, which no late reader shifts).
void dropped_by_third_watchdog(PcClient &pc, Clock::time_point connected) {
    for (int i = 1; i <= 3; ++i) {
        auto record = pc.read_record(WAIT);
        ASSERT_TRUE(record && record_type(*record) == MSG_TYPE_WATCHDOG) << "watchdog " << i;
    }
    EXPECT_LE(pc.receive_times()[0] - connected, 1000ms);
    ASSERT_TRUE(pc.wait_closed(WAIT)) << "still connected after the third unanswered watchdog";
    EXPECT_GE(since(pc.receive_times()[0]), 1800ms);
    EXPECT_FALSE(pc.read_record(0ms)) << "a record after the third watchdog";
}

}  // namespace

// With tracing off the connection is still announced; the first watchdog holds only start-up
// fields. The period after each watchdog follows the PC status at that moment: the calibration
// period (3 s) while it is 0, pollTime (1 s) once the PC has answered with status 1.
TEST(PcLinkWatchdog, FirstWatchdogSoonAfterConnectThenThePeriodOfThePcStatus) {
    HubRig rig;
    rig.conf.verbose = false;
    rig.conf.poll_time = 1;
    rig.conf.poll_time_calibration = 3;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, WAIT));
    const auto connected = Clock::now();
    auto first = pc.read_record(WAIT);
    ASSERT_TRUE(first);
    EXPECT_LE(pc.receive_times()[0] - connected, 1000ms);  // connected is late if anything: a safe upper bound
    EXPECT_EQ(*first, hub_record());
    EXPECT_EQ(record_be16(*first, 70), 0x6045);
    // Each record leaves at once, not after the PC's delayed acknowledgement of the one before.
    EXPECT_EQ(rig.hub.tcp_option(pc.local_port(), TCP_NODELAY), 1);
    ASSERT_TRUE(pc.send({.Event = PC_WATCHDOG, .PCStatus = 1}));
    auto second = pc.read_record(WAIT);
    ASSERT_TRUE(second && pc.read_record(WAIT));
    EXPECT_EQ(*second, *first);
    EXPECT_TRUE(gap(pc, 0, 1) >= 2000ms && gap(pc, 0, 1) < 4500ms) << gap(pc, 0, 1).count();
    EXPECT_TRUE(gap(pc, 1, 2) >= 500ms && gap(pc, 1, 2) < 2000ms) << gap(pc, 1, 2).count();
    const std::string prefix = "Server: connect from host 127.0.0.1, port " + std::to_string(pc.local_port()) + ", cS ";
    ASSERT_TRUE(rig.hub.wait_stdout_line(starts_with(prefix), WAIT));
    const auto lines = rig.hub.stdout_lines();
    ASSERT_EQ(lines.size(), 1u) << rig.hub.stdout_text();
    EXPECT_TRUE(std::regex_match(lines[0].substr(prefix.size()), std::regex("[0-9]+\\."))) << lines[0];
}

// A silent PC is dropped right after its third watchdog, and served again when it returns.
TEST(PcLinkWatchdog, SilentPcDroppedByThirdWatchdogAndServedAgain) {
    HubRig rig;
    rig.conf.poll_time = rig.conf.poll_time_calibration = 1;
    rig.start();
    for (size_t round = 1; round <= 2; ++round) {
        PcClient pc;
        ASSERT_TRUE(pc.connect(rig.port, WAIT));
        dropped_by_third_watchdog(pc, Clock::now());
        ASSERT_TRUE(rig.hub.wait_stderr_line(starts_with("Watchdog: "), WAIT, round - 1));
        EXPECT_EQ(pc.bad_checksums(), 0u);
    }
    EXPECT_EQ(rig.hub.stderr_lines().size(), 2u) << rig.hub.stderr_text();
    EXPECT_TRUE(rig.hub.running());
}

// Answered watchdogs keep the PC; the fourth watchdog after its last answer drops it.
TEST(PcLinkWatchdog, AnsweringPcStaysConnectedUntilItFallsSilent) {
    HubRig rig;
    rig.conf.poll_time = rig.conf.poll_time_calibration = 1;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, WAIT));
    for (int i = 1; i <= 7; ++i) {
        auto record = pc.read_record(WAIT);
        ASSERT_TRUE(record && record_type(*record) == MSG_TYPE_WATCHDOG) << "watchdog " << i;
        if (i <= 3) {
            ASSERT_TRUE(pc.send({.Event = PC_WATCHDOG}));
        }
    }
    ASSERT_TRUE(pc.wait_closed(WAIT));
    EXPECT_FALSE(pc.read_record(0ms)) << "a watchdog after the fourth unanswered one";
    ASSERT_TRUE(rig.hub.wait_stderr_line(starts_with("Watchdog: "), WAIT));
    EXPECT_EQ(rig.hub.stderr_lines().size(), 1u) << rig.hub.stderr_text();
    // Each answer taken as one (forced while the CPU node is not initialised).
    const auto lines = rig.hub.stdout_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Recived Message from PC... Event: PC_WATCHDOG! 0"), 3);
}

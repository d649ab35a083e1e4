// The PC link's watchdog, seen from the PC: when the watchdogs come, what
// the first one carries, and when a PC that stops answering is dropped.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "e2e_pc_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using namespace e2e_pc;
using hubtest::PcClient;
using hubtest::PcRecord;
using hubtest::record_type;
using Clock = std::chrono::steady_clock;

namespace {

long ms_since(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Reads the watchdogs of a PC that never answers: three, then the hub closes
// the connection. Returns how long after `connected` the close came, or -1
// when the sequence was not that.
long expect_dropped_by_third_watchdog(PcClient &pc, Clock::time_point connected) {
    for (int i = 1; i <= 3; ++i) {
        auto record = pc.read_record(5s);
        if (!record || record_type(*record) != 0) {
            ADD_FAILURE() << "watchdog " << i << (record ? " has another type" : " did not come");
            return -1;
        }
        if (i == 1) {
            long first = ms_since(connected);
            EXPECT_GE(first, 50) << "first watchdog";
            EXPECT_LE(first, 1000) << "first watchdog";
        }
    }
    if (!pc.wait_closed(5s)) {
        ADD_FAILURE() << "still connected after the third unanswered watchdog";
        return -1;
    }
    EXPECT_FALSE(pc.read_record(0ms)) << "a record after the third watchdog";
    return ms_since(connected);
}

bool is_watchdog_report(const std::string &line) { return line.rfind("Watchdog: ", 0) == 0; }

}  // namespace

// With tracing off, the connection is still announced, and the first
// watchdog follows about 100 ms later with nothing but the start-up fields;
// the next one comes a calibration poll period later (2 s here, the other
// period 5 s, so a mix-up shows).
TEST(PcLinkWatchdog, FirstWatchdogSoonAfterConnectCarriesTheModel) {
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    rig.conf.poll_time = 5;
    rig.conf.poll_time_calibration = 2;
    rig.start();

    RawPc pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    auto connected = Clock::now();
    auto first = pc.read_record(3s);
    long first_ms = ms_since(connected);
    ASSERT_TRUE(first);
    EXPECT_GE(first_ms, 50);
    EXPECT_LE(first_ms, 1000);
    EXPECT_EQ(hex(*first), hex(sealed(fresh_record())));
    EXPECT_EQ((*first)[70], 0x60);
    EXPECT_EQ((*first)[71], 0x45);

    auto second = pc.read_record(8s);
    long gap_ms = ms_since(connected) - first_ms;
    ASSERT_TRUE(second);
    EXPECT_EQ(hex(*second), hex(*first));
    EXPECT_GE(gap_ms, 1500);  // measured from our receipt of the first one, which may come late
    EXPECT_LT(gap_ms, 4000);

    std::string prefix = "Server: connect from host 127.0.0.1, port " + std::to_string(pc.local_port()) + ", cS ";
    ASSERT_TRUE(rig.hub.wait_stdout_line([&](const std::string &l) { return l.rfind(prefix, 0) == 0; }, 2s));
    // The only line: with tracing off nothing else reaches standard output.
    auto lines = rig.hub.stdout_lines();
    ASSERT_EQ(lines.size(), 1u) << rig.hub.stdout_text();
    EXPECT_TRUE(std::regex_match(lines[0].substr(prefix.size()), std::regex("[0-9]+\\."))) << lines[0];
    EXPECT_TRUE(checksums_ok({*first, *second}));
    EXPECT_TRUE(rig.hub.running());
}

// A silent PC is dropped right after its third watchdog; it can then connect
// again and is served like the first (not dropped by its first watchdog).
TEST(PcLinkWatchdog, SilentPcDroppedByThirdWatchdogAndServedAgain) {
    hubtest::HubRig rig;
    use_one_second_polls(rig.conf);
    rig.start();

    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    long closed_ms = expect_dropped_by_third_watchdog(pc, Clock::now());
    ASSERT_GE(closed_ms, 0);
    EXPECT_GE(closed_ms, 1800) << "two poll periods after the first watchdog";
    ASSERT_TRUE(rig.hub.wait_stderr_line(is_watchdog_report, 2s));
    EXPECT_TRUE(checksums_ok(pc.records()));

    PcClient again;
    ASSERT_TRUE(again.connect(rig.port, 5s));
    closed_ms = expect_dropped_by_third_watchdog(again, Clock::now());
    ASSERT_GE(closed_ms, 0);
    EXPECT_GE(closed_ms, 1800);
    auto second_report = rig.hub.wait_stderr_line(is_watchdog_report, 2s, 1);
    ASSERT_TRUE(second_report);
    EXPECT_EQ(rig.hub.stderr_lines().size(), 2u) << rig.hub.stderr_text();
    EXPECT_TRUE(checksums_ok(again.records()));
    EXPECT_TRUE(rig.hub.running());
}

// Answered watchdogs keep the PC; once it falls silent, the fourth watchdog
// after its last answer drops it (the first one after an answer starts the
// count afresh).
TEST(PcLinkWatchdog, AnsweringPcStaysConnectedUntilItFallsSilent) {
    hubtest::HubRig rig;
    use_one_second_polls(rig.conf);
    rig.start();

    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    for (int i = 1; i <= 3; ++i) {
        auto record = pc.read_record(5s);
        ASSERT_TRUE(record) << "watchdog " << i;
        ASSERT_EQ(record_type(*record), 0);
        ASSERT_TRUE(pc.send(PcRecord{.event = EV_WATCHDOG}));
    }
    // Silent from here on: four more watchdogs, then the close.
    for (int i = 4; i <= 7; ++i) {
        auto record = pc.read_record(5s);
        ASSERT_TRUE(record) << "watchdog " << i;
        ASSERT_EQ(record_type(*record), 0);
    }
    ASSERT_TRUE(pc.wait_closed(5s));
    EXPECT_FALSE(pc.read_record(0ms)) << "a watchdog after the fourth unanswered one";
    EXPECT_EQ(pc.records().size(), 7u);
    ASSERT_TRUE(rig.hub.wait_stderr_line(is_watchdog_report, 2s));
    EXPECT_EQ(rig.hub.stderr_lines().size(), 1u) << rig.hub.stderr_text();
    // Each answer was taken as one (forced while the CPU node is not initialised).
    size_t answers = 0;
    for (const auto &line : rig.hub.stdout_lines())
        if (line == "Recived Message from PC... Event: PC_WATCHDOG! 0") ++answers;
    EXPECT_EQ(answers, 3u);
    EXPECT_TRUE(checksums_ok(pc.records()));
}

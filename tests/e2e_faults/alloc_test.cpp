// No heap allocation after start-up: the hub runs with a heap-call probe
// preloaded (alloc_probe.c), armed once start-up is over (the four threads
// have started), while the hub relays traffic both ways with both outputs on
// (standard output and the system log): every PC event, every CPU node and
// display message, reports, acknowledgements, replies, the Ethernet command,
// a watchdog drop, device hang-ups, a full transmit ring. Then the probe
// reports how many heap calls it saw, with backtraces of the first few.
//
// Sanitizer builds bring their own allocator, which a preloaded one cannot
// replace: there the test is skipped.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fault_support.h"
#include "hub_rig.h"
#include "pc_client.h"
#include "syslog_capture.h"

using namespace std::chrono_literals;
using faults::node_frame;

#ifndef HUB_ALLOC_PROBE
#define HUB_ALLOC_PROBE ""
#endif

namespace {

bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

// Every PC event, a short record and a close request, on one connection.
void pc_session(hubtest::HubRig &rig) {
    hubtest::PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 5s));
    ASSERT_TRUE(pc.wait_record_type(0, 5s));
    const size_t from = rig.can.frame_count();
    using R = hubtest::PcRecord;
    const std::vector<R> records = {
        R{.event = 0, .pc_status = 2},
        R{.event = 2, .sel_family = 3, .sel_exam = 12},
        R{.event = 4, .sel_family = 0x0102, .sel_exam = 0x0304},
        R{.event = 3, .kv = 70, .ma = 8},
        R{.event = 5, .sel_pat_type = 1},
        R{.event = 6, .sel_pat_size = 2},
        R{.event = 7, .sel_pat_dent = 3},
        R{.event = 8},
        R{.event = 9},
        R{.event = 10},
        R{.event = 11},
        R{.event = 12},
        R{.event = 100},
        R{.event = 101},
        R{.event = 13},
        R{.event = 0xBEEF},
        R{.event = 0, .pc_status = 1},
        R{.event = 0, .pc_status = 0},
    };
    for (const R &r : records) ASSERT_TRUE(pc.send(r));
    const uint8_t lock[2] = {11, 0};
    ASSERT_TRUE(pc.send_bytes(lock, sizeof lock));
    // Eight commands and the short lock reach the bus.
    ASSERT_TRUE(rig.can.wait_for_frames(from + 9, 5s));
    ASSERT_TRUE(pc.wait_record_type(3, 5s));
    ASSERT_TRUE(pc.send(R{.event = 1}));
    ASSERT_TRUE(pc.wait_closed(5s));
}

// Every kind of CPU node and display message.
void bus_traffic(hubtest::HubRig &rig) {
    const size_t from = rig.can.frame_count();
    const std::vector<CanFrame> frames = {
        node_frame(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}),
        node_frame(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'}),
        node_frame(0x20F, {0x30, 'O', 'P'}),
        node_frame(0x20F, {0x90, 'a', 'b', 0, 'd'}),
        node_frame(0x20F, {0xA0, 'h'}),
        node_frame(0x20F, {0xB0, 'o', 'p'}),
        node_frame(0x227, {1}),
        node_frame(0x20B, {0x10, '1', '2'}),
        node_frame(0x223, {1}),
        node_frame(0x217, {1, 2, 3, 4, 5, 6, 7, 8}),
        node_frame(0x21F, {5}),
        node_frame(0x237, {0, 1, 2, 3, 4}),
        node_frame(0x247, {10, 1, 2, 3, 255, 0, 0, 0}),
        node_frame(0x267, {0, 0x07, 0xE8, 12, 31, 23, 59, 58}),
        node_frame(0x23F, {1, 2, 3, 4, 5, 6, 1, 2}),
        node_frame(0x00F, {}),
        node_frame(0x283, {1}),
        node_frame(0x103, {}),
        node_frame(0x305, {1, 2}),
        node_frame(0x2C7, {1}),
    };
    for (const CanFrame &f : frames) rig.can.inject(f);
    CanFrame long_frame = node_frame(0x20F, {0x10, 'x'});
    long_frame.length = 255;
    rig.can.inject(long_frame);
    ASSERT_TRUE(rig.hub.wait_stub_calls("ifconfig", 1, 5s));
    // The main loop carries out the state command on its own thread.
    ASSERT_TRUE(rig.hub.wait_stdout_line("CPU: PRE_OP -> OP", 5s));
    // Last, a process-data request: answered in OP once everything before it is done.
    rig.can.inject(node_frame(0x107, {}));
    ASSERT_TRUE(rig.can.wait_for_frame([](const CanFrame &f) { return faults::frame_text(f) == "287#0002000000"; },
                                       5s, from));
}

// Asks the probe for its count; the lines before it (kinds, sizes,
// backtraces) go to `detail`.
std::optional<unsigned long> probe_count(hubtest::HubProcess &hub, std::string &detail) {
    const size_t from = hub.err().line_count();
    hub.signal(SIGUSR2);
    auto line = hub.wait_stderr_line(
        [](const std::string &l) {
            return starts_with(l, "alloc-probe: ") && l.find(" heap calls since armed") != std::string::npos;
        },
        5s, from);
    if (!line) return std::nullopt;
    const std::vector<std::string> lines = hub.stderr_lines();
    detail.clear();
    for (size_t i = from; i < *line; ++i) detail += lines[i] + "\n";
    return std::stoul(lines[*line].substr(std::string("alloc-probe: ").size()));
}

}  // namespace

// The probe itself: armed from the start, it sees the configuration parser's
// allocations and names where they come from.
TEST(NoHeapAfterStartUp, TheProbeSeesStartUpAllocations) {
    if (sanitized_build()) GTEST_SKIP() << "a sanitizer's allocator cannot be replaced by a preloaded probe";
    hubtest::HubRig rig;
    rig.hub.set_env("LD_PRELOAD", HUB_ALLOC_PROBE);
    rig.hub.set_env("HUB_ALLOC_PROBE_ARMED", "1");
    rig.start();
    ASSERT_TRUE(rig.hub.wait_stdout_line("Init SJA1000 = 0", 10s));
    std::string detail;
    auto calls = probe_count(rig.hub, detail);
    ASSERT_TRUE(calls);
    EXPECT_GT(*calls, 0u);
    // The backtraces name the parser's library where it is shared (this
    // machine) and the hub's executable where it is linked in (the board).
    EXPECT_TRUE(detail.find("libconfuse") != std::string::npos || detail.find("/hub(") != std::string::npos)
        << detail;
    printf("heap calls during start-up (the configuration parser among them): %lu\n", *calls);
}

TEST(NoHeapAfterStartUp, RelayingTrafficBothWaysAllocatesNothing) {
    if (sanitized_build()) GTEST_SKIP() << "a sanitizer's allocator cannot be replaced by a preloaded probe";
    HUB_SYSLOG_CAPTURE_OR_SKIP(log);
    hubtest::HubRig rig;
    rig.conf.syslog = true;
    rig.conf.simulator = true;
    rig.conf.display = true;
    rig.conf.poll_time = 1;
    rig.conf.poll_time_calibration = 1;
    rig.hub.set_env("LD_PRELOAD", HUB_ALLOC_PROBE);
    rig.start();

    // Start-up is over once the four threads have said so and the GPIO
    // thread has set the sensor-ready line.
    for (const char *thread : {"Thread \"tcp_server_thread\"", "Thread \"can_tx_thread\"", "Thread \"can_rx_thread\"",
                               "Thread \"gpio_thread\""})
        ASSERT_TRUE(rig.hub.wait_stdout_line([thread](const std::string &l) { return starts_with(l, thread); }, 10s))
            << thread;
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t bits) { return (bits & 0x40) != 0; }, 5s));
    rig.hub.signal(SIGUSR1);
    ASSERT_TRUE(rig.hub.wait_stderr_line("alloc-probe: armed", 5s));

    ASSERT_TRUE(faults::wait_serving(rig));
    ASSERT_TRUE(faults::serves_normally(rig, 1));
    pc_session(rig);
    bus_traffic(rig);
    ASSERT_TRUE(log.wait_message("Send Start Time to PC\n", 5s));

    // A PC that never answers is dropped by its third watchdog.
    {
        hubtest::PcClient silent;
        ASSERT_TRUE(silent.connect(rig.port, 5s));
        ASSERT_TRUE(silent.wait_closed(10s));
        ASSERT_TRUE(rig.hub.wait_stderr_line([](const std::string &l) { return starts_with(l, "Watchdog: "); }, 5s));
    }
    // Both devices hang up and are connected again.
    rig.can.hang_up();
    ASSERT_TRUE(rig.can.wait_for_connections(2, 10s));
    rig.gpio.hang_up();
    ASSERT_TRUE(rig.gpio.wait_for_connections(2, 10s));
    ASSERT_TRUE(faults::serves_normally(rig, 2));
    ASSERT_TRUE(rig.hub.wait_stderr_line("hub: CAN device is back", 5s));
    // A stalled CAN device: the ring fills and drops with at-signs.
    {
        const size_t out_byte = rig.hub.stdout_text().size();
        hubtest::PcClient pc;
        ASSERT_TRUE(pc.connect(rig.port, 5s));
        rig.can.stall();
        for (int i = 0; i < 340; ++i) ASSERT_TRUE(pc.send(hubtest::PcRecord{.event = 3, .kv = static_cast<uint8_t>(i)}));
        ASSERT_TRUE(rig.hub.wait_stdout_text("@", 10s, out_byte));
        rig.can.resume();
        pc.close();
    }
    ASSERT_TRUE(faults::serves_normally(rig, 3));
    // A PC that resets its connection.
    {
        const size_t accepted = faults::accepts(rig.hub), err_from = rig.hub.err().line_count();
        faults::RawPc pc;
        ASSERT_TRUE(pc.connect(rig.port));
        ASSERT_TRUE(faults::wait_pc_counts(rig.hub, accepted + 1, 0, 5s));
        pc.reset();
        ASSERT_TRUE(
            rig.hub.wait_stderr_line([](const std::string &l) { return starts_with(l, "recv: "); }, 5s, err_from));
    }
    // The GPIO thread reads the temperature on its eleventh pass.
    ASSERT_TRUE(rig.hub.wait_stdout_line([](const std::string &l) { return starts_with(l, "TEMPERATURE: "); }, 15s));

    std::string detail;
    auto calls = probe_count(rig.hub, detail);
    ASSERT_TRUE(calls);
    EXPECT_EQ(*calls, 0u) << "heap calls while the hub relayed traffic:\n" << detail;
    printf("heap calls after start-up while relaying: %lu\n", *calls);
    RecordProperty("heap_calls_after_start_up", std::to_string(*calls));
}

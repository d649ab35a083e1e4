// No heap allocation after start-up (bench/alloc_count.c preloaded, its
// counters shared) through every kind of traffic and fault, both outputs on.
#include <sys/mman.h>
#include <unistd.h>

#include "faults.h"
#include "syslog_capture.h"

using namespace faults;

TEST(NoHeapAfterStartUp, RelayingTrafficBothWaysAllocatesNothing) {
    if (!SyslogCapture::unavailable().empty()) GTEST_SKIP() << SyslogCapture::unavailable();
    HubRig rig;
    SyslogCapture log(rig.hub);
    rig.conf.syslog = rig.conf.simulator = rig.conf.display = true;
    rig.conf.poll_time = rig.conf.poll_time_calibration = 1;
    int page_fd = memfd_create("hub-alloc-count", 0);  // inherited; the counter maps it and closes it
    ASSERT_EQ(ftruncate(page_fd, 4096), 0);
    auto *calls = static_cast<uint64_t *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, page_fd, 0));
    ASSERT_NE(calls, MAP_FAILED);
    rig.hub.set_env("LD_PRELOAD", HUB_ALLOC_COUNT);
    rig.hub.set_env("HUB_BENCH_ALLOC_FD", std::to_string(page_fd));
    rig.start();
    close(page_fd);
    // Start-up is over once the threads have said so and the GPIO thread has
    // set the sensor-ready line. The configuration parser allocated.
    ASSERT_TRUE(rig.wait_started());
    ASSERT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & 0x40) != 0; }, WAIT));
    const uint64_t at_start = __atomic_load_n(&calls[0], __ATOMIC_SEQ_CST);
    EXPECT_GT(at_start, 0u) << "the counter is not loaded";
    ASSERT_TRUE(serving(rig));
    ASSERT_TRUE(serves_normally(rig, 1));
    {  // every PC event, a short record and a close request
        PcClient pc;
        ASSERT_TRUE(pc.connect(rig.port, WAIT));
        const size_t from = rig.can.frame_count();
        for (const PcToHub &r : std::vector<PcToHub>{
                 {.Event = 0, .PCStatus = 2}, {.Event = 2, .SelFamily = 3, .SelExam = 12},
                 {.Event = 4, .SelFamily = 0x0102, .SelExam = 0x0304}, {.Event = 3, .kV = 70, .mA = 8},
                 {.Event = 5, .SelPatType = 1}, {.Event = 6, .SelPatSize = 2}, {.Event = 7, .SelPatDent = 3},
                 {.Event = 8}, {.Event = 9}, {.Event = 10}, {.Event = 11}, {.Event = 12}, {.Event = 100},
                 {.Event = 101}, {.Event = 13}, {.Event = 0xBEEF}, {.Event = 0, .PCStatus = 1}, {.Event = 0}})
            ASSERT_TRUE(pc.send(r));
        ASSERT_TRUE(pc.send_bytes("\x0b\x00", 2));
        ASSERT_TRUE(rig.can.wait_for_frames(from + 9, WAIT));  // eight commands and the short lock
        ASSERT_TRUE(pc.wait_record_type(MSG_TYPE_DATE_TIME, WAIT));
        ASSERT_TRUE(pc.send({.Event = PC_CLOSE_SOCKET}));
        ASSERT_TRUE(pc.wait_closed(WAIT));
    }
    {  // every kind of CPU node and display message, and a frame too long
        CanFrame too_long = frame(0x20F, {0x10, 'x'});
        too_long.length = 255;
        for (const CanFrame &f :
             {frame(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}), frame(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'}),
              frame(0x20F, {0x30, 'O', 'P'}), frame(0x20F, {0x90, 'a', 'b', 0, 'd'}), frame(0x20F, {0xA0, 'h'}),
              frame(0x20F, {0xB0, 'o', 'p'}), frame(0x227, {1}), frame(0x20B, {0x10, '1', '2'}), frame(0x223, {1}),
              frame(0x217, {1, 2, 3, 4, 5, 6, 7, 8}), frame(0x21F, {5}), frame(0x237, {0, 1, 2, 3, 4}),
              frame(0x247, {10, 1, 2, 3, 255, 0, 0, 0}), frame(0x267, {0, 0x07, 0xE8, 12, 31, 23, 59, 58}),
              frame(0x23F, {1, 2, 3, 4, 5, 6, 1, 2}), frame(0x00F), frame(0x283, {1}), frame(0x103),
              frame(0x305, {1, 2}), frame(0x2C7, {1}), too_long})
            rig.can.inject(f);
        ASSERT_TRUE(rig.hub.wait_stub_calls("ifconfig", 1, WAIT));
        ASSERT_TRUE(rig.hub.wait_stdout_line("CPU: PRE_OP -> OP", WAIT));  // on the main loop's thread
        // Answered once everything before it is done; the state is stored just after its trace.
        ASSERT_EQ(rig.process_data(2), "287#0002000000");
        ASSERT_TRUE(log.wait_message("Send Start Time to PC\n", WAIT));
    }
    {  // a PC that never answers is dropped by its third watchdog
        PcClient silent;
        ASSERT_TRUE(silent.connect(rig.port, WAIT));
        ASSERT_TRUE(silent.wait_closed(WAIT));
        ASSERT_TRUE(rig.hub.wait_stderr_line(starts_with("Watchdog: "), WAIT));
    }
    rig.can.hang_up();
    ASSERT_TRUE(rig.can.wait_for_connections(2, WAIT));
    rig.gpio.hang_up();
    ASSERT_TRUE(rig.gpio.wait_for_connections(2, WAIT));
    ASSERT_TRUE(serves_normally(rig, 2));
    ASSERT_TRUE(rig.hub.wait_stderr_line("hub: CAN device is back", WAIT));
    {  // a stalled CAN device: the ring fills and drops with at-signs
        const size_t line_from = rig.hub.out().line_count(), can_from = rig.can.frame_count();
        PcClient pc;
        ASSERT_TRUE(pc.connect(rig.port, WAIT));
        rig.can.stall();
        for (int i = 0; i < 340; ++i) ASSERT_TRUE(pc.send({.Event = 3, .kV = static_cast<uint8_t>(i)}));
        ASSERT_TRUE(pc.send({.Event = PC_REQ_TIME_START}));  // answered once every command is handled
        ASSERT_TRUE(pc.wait_record_type(MSG_TYPE_DATE_TIME, WAIT));
        // Its trace follows the last at-sign on the same stream: once the trace is read, so are they.
        auto traced = rig.hub.wait_stdout_line(contains("Send Start Time to PC"), WAIT, line_from);
        ASSERT_TRUE(traced);
        const auto lines = rig.hub.stdout_lines();
        size_t dropped = 0;
        for (size_t i = line_from; i <= *traced; ++i)  // not the ten of an earlier "@@@@@ ... Error!!! @@@@@" line
            dropped += static_cast<size_t>(std::count(lines[i].begin(), lines[i].end(), '@')) -
                       (lines[i].find("Event: Error!!!") != std::string::npos ? 10 : 0);
        ASSERT_GT(dropped, 0u);
        rig.can.resume();
        ASSERT_TRUE(rig.can.wait_for_frames(can_from + 340 - dropped, WAIT));
    }
    ASSERT_TRUE(serves_normally(rig, 3));
    {  // a PC that resets its connection
        const size_t accepted = accepts(rig.hub), err_from = rig.hub.err().line_count();
        PcClient pc;
        ASSERT_TRUE(pc.connect(rig.port, WAIT));
        ASSERT_TRUE(wait_pc_counts(rig.hub, accepted + 1, 0));
        pc.reset();
        ASSERT_TRUE(rig.hub.wait_stderr_line(starts_with("recv: "), WAIT, err_from));
    }
    // The GPIO thread reads the temperature on its eleventh pass.
    ASSERT_TRUE(rig.hub.wait_stdout_line(contains("TEMPERATURE: "), WAIT + WAIT));
    EXPECT_EQ(__atomic_load_n(&calls[0], __ATOMIC_SEQ_CST) - at_start, 0u) << "heap calls after start-up";
    munmap(calls, 4096);
}

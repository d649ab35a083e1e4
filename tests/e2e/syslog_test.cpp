// The two tracing switches seen from outside: standard output and the system log.
#include <gtest/gtest.h>

#include "hub_rig.h"
#include "syslog_capture.h"

using namespace hubtest;
using Lines = std::vector<std::string>;

TEST(StartUpTracing, BothSwitchesOffWriteNothingAnywhere) {
    if (!SyslogCapture::unavailable().empty()) GTEST_SKIP() << SyslogCapture::unavailable();
    HubRig rig;
    SyslogCapture log(rig.hub);
    rig.conf.verbose = false;
    rig.start();
    ASSERT_TRUE(rig.gpio.wait_for_requests(devsim::GPIO_REQ_SET_BITS, 1, WAIT));
    EXPECT_EQ(rig.process_data(1), "287#0001000000");
    // Traffic that traces when tracing is on.
    rig.can.inject(frame(0x00F));
    EXPECT_EQ(rig.process_data(2), "287#0002000000");
    const size_t from = rig.can.frame_count();
    for (const CanFrame &f : {frame(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}),
                              frame(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'}), frame(0x20F, {0x30, 'O', 'P'}),
                              frame(0x227, {1}), frame(0x205, {1, 2})})
        rig.can.inject(f);
    EXPECT_EQ(rig.process_data(2), "287#0002000000");
    EXPECT_EQ(rig.frames_from(from), (Lines{"287#1600", "287#0002000000"}));
    rig.hub.stop();
    // A mark of the test's own, sent once the hub has ended, closes what it logged.
    ASSERT_TRUE(log.mark("end of the hub's run", WAIT));
    EXPECT_EQ(log.messages(), Lines{"end of the hub's run"});
    EXPECT_EQ(rig.hub.stdout_text() + rig.hub.stderr_text(), "");
}

TEST(StartUpTracing, SyslogAloneGetsTheDumpAsElevenRecords) {
    if (!SyslogCapture::unavailable().empty()) GTEST_SKIP() << SyslogCapture::unavailable();
    HubRig rig;
    SyslogCapture log(rig.hub);
    rig.conf.verbose = false;
    rig.conf.syslog = true;
    rig.start();
    // Every thread has traced its start, so nothing lands between the frame's pieces.
    for (const char *start : {"CPU: INIT -> PRE_OP\n", "Thread \"tcp_server_thread\"\n", "Thread \"can_tx_thread\" fid = ",
                              "Thread \"can_rx_thread\" fid = ", "Thread \"gpio_thread\" fid = ", "sensorReadyPanIo SET\n"})
        ASSERT_TRUE(log.wait_message(starts_with(start), WAIT)) << start;
    const Lines dump = {"Configuration:\n", "verbose: false\n", "syslog: true\n", "simulator: false\n",
                        "temperature: false\n", "display: false\n", "canDevice: " + rig.can.path() + "\n",
                        "gpioDevice: " + rig.gpio.path() + "\n", "serverPort: " + std::to_string(rig.port) + "\n",
                        "pollTime: 2\n", "pollTime_calibration: 10\n"};
    // Each record "<14>TIMESTAMP hub[PID]: text": LOG_USER|LOG_INFO, ident and pid.
    const std::string tag = " hub[" + std::to_string(rig.hub.pid()) + "]: ";
    const Lines records = log.records(), messages = log.messages();
    ASSERT_GT(records.size(), dump.size());
    EXPECT_EQ(Lines(messages.begin(), messages.begin() + static_cast<long>(dump.size())), dump);
    for (size_t i = 0; i < dump.size(); ++i)
        EXPECT_TRUE(records[i].rfind("<14>", 0) == 0 && records[i].find(tag) != std::string::npos) << records[i];
    // The dump is all there is before the devices are opened.
    EXPECT_EQ(messages[dump.size()].rfind("Can fid = ", 0), 0u) << messages[dump.size()];
    // A frame dump is one record per piece, with a closing "\n" record.
    const size_t from = records.size();
    rig.can.inject(frame(0x205, {0x01, 0xAB}));
    auto header = log.wait_message("Reading. Id: 517, length: 2, data: ", WAIT, from);
    ASSERT_TRUE(header && log.wait_message("\n", WAIT, *header));
    const Lines pieces = log.messages();
    EXPECT_EQ(Lines(pieces.begin() + static_cast<long>(*header), pieces.begin() + static_cast<long>(*header) + 4),
              (Lines{"Reading. Id: 517, length: 2, data: ", "0x01 ", "0xab ", "\n"}));
    rig.hub.stop();
    EXPECT_EQ(rig.hub.stdout_text() + rig.hub.stderr_text(), "");
}

// The two tracing switches, seen from outside: standard output and the system
// log (caught at /dev/log) over start-up and traffic.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e_can_support.h"
#include "hub_rig.h"
#include "syslog_capture.h"

using namespace std::chrono_literals;
using e2e::node_frame;

namespace {

constexpr const char *END_MARK = "end of the hub's run";

// Once the hub has ended, a record of the test's own marks the end of what
// it could have logged: records from one socket arrive in order.
bool mark_end_of_log(const hubtest::SyslogCapture &log) {
    openlog("e2e-mark", LOG_PID, LOG_USER);
    syslog(LOG_INFO, "%s", END_MARK);
    closelog();
    return log.wait_message([](const hubtest::SyslogRecord &r) { return r.message.rfind(END_MARK, 0) == 0; }, 5s)
        .has_value();
}

}  // namespace

TEST(StartUpTracing, BothSwitchesOffWriteNothingAnywhere) {
    HUB_SYSLOG_CAPTURE_OR_SKIP(log);
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    rig.start();

    // Started: the GPIO thread has set the sensor-ready line and the node
    // machine has left INIT.
    ASSERT_TRUE(rig.gpio.wait_for_requests(7, 1, 5s));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 1, 5s), "287#0001000000");

    // Traffic that traces when tracing is on, but prints nothing by itself:
    // a transition, frames the reader dumps, a display line with its
    // acknowledgement, a clear display, a frame of another node.
    rig.can.inject(node_frame(0x00F));
    EXPECT_EQ(e2e::wait_process_data_state(rig.can, 2, 5s), "287#0002000000");
    size_t from = rig.can.frame_count();
    rig.can.inject(node_frame(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}));
    rig.can.inject(node_frame(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'}));
    rig.can.inject(node_frame(0x20F, {0x30, 'O', 'P'}));
    rig.can.inject(node_frame(0x227, {1}));
    rig.can.inject(node_frame(0x205, {1, 2}));
    auto reply = e2e::request_process_data(rig.can, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(e2e::frame_texts(rig.can.frames(), from), (std::vector<std::string>{"287#1600", "287#0002000000"}));

    rig.hub.stop();
    ASSERT_TRUE(mark_end_of_log(log));
    EXPECT_EQ(log.messages(), std::vector<std::string>{END_MARK});
    EXPECT_EQ(rig.hub.stdout_text(), "");
    EXPECT_EQ(rig.hub.stderr_text(), "");
}

TEST(StartUpTracing, SyslogAloneGetsTheDumpAsElevenRecords) {
    HUB_SYSLOG_CAPTURE_OR_SKIP(log);
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    rig.conf.syslog = true;
    rig.start();

    ASSERT_TRUE(log.wait_message("CPU: INIT -> PRE_OP\n", 5s));
    // Every thread has traced its start before the frame below, so nothing
    // lands between the frame's pieces.
    for (const char *start : {"Thread \"tcp_server_thread\"\n", "Thread \"can_tx_thread\" fid = ",
                              "Thread \"can_rx_thread\" fid = ", "sensorReadyPanIo SET\n"})
        ASSERT_TRUE(log.wait_message([start](const hubtest::SyslogRecord &r) { return r.message.rfind(start, 0) == 0; }, 5s))
            << start;
    const std::vector<std::string> dump = {
        "Configuration:\n",
        "verbose: false\n",
        "syslog: true\n",
        "simulator: false\n",
        "temperature: false\n",
        "display: false\n",
        "canDevice: " + rig.can.path() + "\n",
        "gpioDevice: " + rig.gpio.path() + "\n",
        "serverPort: " + std::to_string(rig.port) + "\n",
        "pollTime: 2\n",
        "pollTime_calibration: 10\n",
    };
    std::vector<hubtest::SyslogRecord> records = log.records();
    ASSERT_GT(records.size(), dump.size());
    for (size_t i = 0; i < dump.size(); ++i) {
        EXPECT_EQ(records[i].message, dump[i]) << "record " << i;
        EXPECT_EQ(records[i].priority, LOG_USER | LOG_INFO) << "record " << i;
        EXPECT_EQ(records[i].ident, "hub") << "record " << i;
        EXPECT_EQ(records[i].pid, rig.hub.pid()) << "record " << i;
    }
    // The dump is all there is before the devices are opened.
    EXPECT_EQ(records[dump.size()].message.rfind("Can fid = ", 0), 0u) << records[dump.size()].message;

    // A frame dump is one record per piece, with a closing "\n" record.
    size_t from = log.count();
    rig.can.inject(node_frame(0x205, {0x01, 0xAB}));
    auto header = log.wait_message("Reading. Id: 517, length: 2, data: ", 5s, from);
    ASSERT_TRUE(header);
    ASSERT_TRUE(log.wait_for_records(*header + 4, 5s));
    std::vector<std::string> messages = log.messages();
    EXPECT_EQ(std::vector<std::string>(messages.begin() + static_cast<long>(*header),
                                       messages.begin() + static_cast<long>(*header) + 4),
              (std::vector<std::string>{"Reading. Id: 517, length: 2, data: ", "0x01 ", "0xab ", "\n"}));

    rig.hub.stop();
    EXPECT_EQ(rig.hub.stdout_text(), "");
    EXPECT_EQ(rig.hub.stderr_text(), "");
}

// Catching this process's own syslog() records at /dev/log. Runs under the
// "syslog" resource lock: only one capture can exist at a time.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include "syslog_capture.h"

using namespace std::chrono_literals;

namespace {

TEST(SyslogCapture, CatchesRecordsAndRemovesDevLogAfterwards) {
    {
        HUB_SYSLOG_CAPTURE_OR_SKIP(capture);
        openlog("hub", LOG_PID, LOG_USER);
        syslog(LOG_INFO, "value %d", 42);
        syslog(LOG_INFO, "%s", "line with newline\n");
        closelog();
        auto first = capture.wait_message("value 42", 2s);
        ASSERT_TRUE(first);
        auto second = capture.wait_message("line with newline\n", 2s, *first + 1);
        ASSERT_TRUE(second);
        auto records = capture.records();
        EXPECT_EQ(records[*first].priority, LOG_USER | LOG_INFO);
        EXPECT_EQ(records[*first].ident, "hub");
        EXPECT_EQ(records[*first].pid, static_cast<long>(getpid()));
        EXPECT_EQ(capture.messages()[*first], "value 42");
    }
    struct stat st;
    EXPECT_NE(lstat(hubtest::SyslogCapture::DEV_LOG, &st), 0);
}

TEST(SyslogCapture, WaitsTimeOutWhenNothingComes) {
    HUB_SYSLOG_CAPTURE_OR_SKIP(capture);
    EXPECT_FALSE(capture.wait_message("nothing", 50ms));
    EXPECT_FALSE(capture.wait_for_records(1, 50ms));
}

}  // namespace

// Taking system-log records apart.
#include <gtest/gtest.h>

#include "syslog_capture.h"

namespace {

TEST(SyslogParse, SplitsPriorityIdentPidAndMessage) {
    auto record = hubtest::parse_syslog_record("<14>Dec  5 14:45:00 hub[1234]: Reading. Id: 519\n");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->priority, 14);
    EXPECT_EQ(record->ident, "hub");
    EXPECT_EQ(record->pid, 1234);
    EXPECT_EQ(record->message, "Reading. Id: 519\n");
}

TEST(SyslogParse, AcceptsARecordWithoutPid) {
    auto record = hubtest::parse_syslog_record("<11>Jan 15 01:02:03 hub: socket: Address in use");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ident, "hub");
    EXPECT_EQ(record->pid, -1);
    EXPECT_EQ(record->message, "socket: Address in use");
}

TEST(SyslogParse, KeepsColonsInTheMessage) {
    auto record = hubtest::parse_syslog_record("<14>Dec  5 14:45:00 hub[9]: a: b: c");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->message, "a: b: c");
}

TEST(SyslogParse, RejectsOtherShapes) {
    EXPECT_FALSE(hubtest::parse_syslog_record(""));
    EXPECT_FALSE(hubtest::parse_syslog_record("hub[1]: text"));
    EXPECT_FALSE(hubtest::parse_syslog_record("<14>short"));
    EXPECT_FALSE(hubtest::parse_syslog_record("<x>Dec  5 14:45:00 hub[1]: text"));
}

}  // namespace

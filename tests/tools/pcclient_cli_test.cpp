// hub-pcclient as a process, against a hub played by the test: watchdog
// answers, events from a script, and the protocol errors it exits 1 for.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>

#include "fake_hub.h"
#include "free_port.h"
#include "hub_process.h"
#include "pc/pc_records.h"

using namespace std::chrono_literals;
using tooltest::FakeHub;
using tooltest::PcBytes;

namespace {

std::array<uint8_t, HUB_TO_PC_SIZE> hub_record(uint16_t type, const char *line1 = "66kV 10mA  A M 1") {
    std::array<uint8_t, HUB_TO_PC_SIZE> r{};
    put_le16(r.data(), hub_to_pc::MsgType, type);
    std::memcpy(r.data() + hub_to_pc::Line0, "CEPH  EX03      ", 16);
    std::memcpy(r.data() + hub_to_pc::Line1, line1, 16);
    std::memcpy(r.data() + hub_to_pc::Model, "  ZELT 4", 8);
    hub_to_pc_seal(r.data());
    return r;
}

// The exit code once the process has ended and its output has been read to
// the end (the harness reads it on a thread of its own); -1 for anything else.
int exit_code(hubtest::HubProcess &p, std::chrono::milliseconds timeout) {
    auto status = p.wait_exit(timeout);
    auto never = [](const std::string &) { return false; };
    p.out().wait_line(never, 5s);  // returns as soon as the stream has ended
    p.err().wait_line(never, 5s);
    if (!status || !WIFEXITED(*status) || !p.out().closed() || !p.err().closed()) return -1;
    return WEXITSTATUS(*status);
}

class PcClientCli : public ::testing::Test {
protected:
    hubtest::HubProcess pc_{HUB_PCCLIENT_EXECUTABLE};
    FakeHub hub_;

    void start(const std::string &script, std::vector<std::string> extra = {}) {
        pc_.write_file("session.txt", script);
        std::vector<std::string> args = {"--port", std::to_string(hub_.port()), "--script", pc_.path("session.txt")};
        args.insert(args.end(), extra.begin(), extra.end());
        pc_.start("", args);
        ASSERT_TRUE(hub_.accept_pc(5s));
    }
};

TEST_F(PcClientCli, AnswersWatchdogsSendsEventsAndPrintsRecords) {
    start("kvma 66 10\nwait-record LINE1 5000\nclose\n", {"--status", "3"});
    auto kvma = hub_.read_record(5s);
    ASSERT_TRUE(kvma);
    EXPECT_EQ(*kvma, (PcBytes{3, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 66, 10, 0, 0, 0, 0, 0, 0}));

    auto watchdog = hub_record(MSG_TYPE_WATCHDOG, "70kV  8mA  A M 1");
    ASSERT_TRUE(hub_.send(watchdog.data(), watchdog.size()));
    auto answer = hub_.read_record(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, (PcBytes{0, 0, 3, 0}));

    // A record in two pieces.
    auto line1 = hub_record(MSG_TYPE_LINE1);
    ASSERT_TRUE(hub_.send(line1.data(), 30));
    ASSERT_TRUE(hub_.send(line1.data() + 30, line1.size() - 30));
    auto close = hub_.read_record(5s);
    ASSERT_TRUE(close);
    EXPECT_EQ(*close, (PcBytes{1, 0, 3, 0}));
    hub_.hang_up();

    EXPECT_EQ(exit_code(pc_, 5s), 0);
    EXPECT_EQ(pc_.stdout_lines(), (std::vector<std::string>{
                                      "connected to 127.0.0.1:" + std::to_string(hub_.port()),
                                      "-> PC_CHANGE_KV_MA kV 66 mA 10",
                                      "<- WATCHDOG    [CEPH  EX03      ] [70kV  8mA  A M 1] sum 5644 ok",
                                      "-> PC_WATCHDOG PCStatus 3",
                                      "<- LINE1       [CEPH  EX03      ] [66kV 10mA  A M 1] sum 5844 ok",
                                      "-> PC_CLOSE_SOCKET",
                                      "hub closed the connection",
                                  }));
    EXPECT_EQ(pc_.stderr_text(), "");
}

TEST_F(PcClientCli, ABadChecksumIsAProtocolError) {
    start("wait-record LINE1 5000\n");
    auto line1 = hub_record(MSG_TYPE_LINE1);
    line1[hub_to_pc::Checksum] ^= 0x10;
    ASSERT_TRUE(hub_.send(line1.data(), line1.size()));
    EXPECT_EQ(exit_code(pc_, 5s), 1);
    EXPECT_TRUE(pc_.wait_stdout_line("<- LINE1       [CEPH  EX03      ] [66kV 10mA  A M 1] sum 4844 BAD, computed 5844",
                                     0ms));
    EXPECT_EQ(pc_.stderr_lines(), std::vector<std::string>{"hub-pcclient: protocol error: bad checksum in a LINE1 "
                                                           "record: 4844, computed 5844"});
}

TEST_F(PcClientCli, AShortRecordAtTheEndIsAProtocolError) {
    start("wait-record LINE0 5000\n");
    auto line1 = hub_record(MSG_TYPE_LINE1);
    ASSERT_TRUE(hub_.send(line1.data(), 30));
    hub_.hang_up();
    EXPECT_EQ(exit_code(pc_, 5s), 1);
    EXPECT_EQ(pc_.stderr_lines(), (std::vector<std::string>{
                                      "hub-pcclient: the hub closed the connection",
                                      "hub-pcclient: protocol error: the connection ended inside a record (30 of 72 "
                                      "bytes)",
                                  }));
}

TEST_F(PcClientCli, AWaitThatRunsOutFails) {
    start("wait-record EXAM_STATUS 100\nlock\n");
    EXPECT_EQ(exit_code(pc_, 5s), 1);
    EXPECT_EQ(pc_.stderr_lines(), std::vector<std::string>{"hub-pcclient: wait-record EXAM_STATUS: none came in time"});
    EXPECT_FALSE(pc_.wait_stdout_line("-> PC_LOCK_KEYBORD", 0ms)) << "the script stops at the failed wait";
}

TEST_F(PcClientCli, ABadCommandLineIsReportedSkippedAndFailsTheRun) {
    start("kvma 300 1\nlock\n");
    auto lock = hub_.read_record(5s);
    ASSERT_TRUE(lock);
    EXPECT_EQ(*lock, (PcBytes{11, 0}));
    EXPECT_EQ(exit_code(pc_, 5s), 1);
    EXPECT_EQ(pc_.stderr_lines(), std::vector<std::string>{"hub-pcclient: kvma: values 0 to 255"});
}

TEST(PcClientCliAlone, ARefusedConnectionFails) {
    hubtest::HubProcess pc(HUB_PCCLIENT_EXECUTABLE);
    uint16_t port = hubtest::pick_free_port();
    pc.start("", {"--port", std::to_string(port)});
    EXPECT_EQ(exit_code(pc, 5s), 1);
    EXPECT_EQ(pc.stderr_lines(), std::vector<std::string>{"hub-pcclient: connect 127.0.0.1:" + std::to_string(port) +
                                                          ": Connection refused"});
}

TEST(PcClientCliAlone, PrintsAFreePort) {
    hubtest::HubProcess pc(HUB_PCCLIENT_EXECUTABLE);
    pc.start("", {"--free-port"});
    EXPECT_EQ(exit_code(pc, 5s), 0);
    auto lines = pc.stdout_lines();
    ASSERT_EQ(lines.size(), 1u);
    long port = std::stol(lines[0]);
    EXPECT_GT(port, 0);
    EXPECT_LT(port, 65536);
}

}  // namespace

// The whole relay on one machine: the hub, hub-unitsim playing the unit and
// hub-pcclient playing the PC, each a process. A kV/mA change from the PC
// reaches the CPU node, which shows it on its display line, which reaches
// the PC; an exam on the unit reports its status codes to the PC.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "free_port.h"
#include "hub_conf.h"
#include "hub_process.h"

using namespace std::chrono_literals;

namespace {

hubtest::LineMatch starts_ends(std::string head, std::string tail) {
    return [head, tail](const std::string &line) {
        return line.size() >= head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    };
}

TEST(UnitAndPcClient, KvMaFromThePcShowsOnTheDisplayLineAndAnExamReportsItsStatus) {
    // Built in this order, ended in the reverse: the PC, the hub, then the unit.
    hubtest::HubProcess unit(HUB_UNITSIM_EXECUTABLE);
    hubtest::HubProcess hub;
    hubtest::HubProcess pc(HUB_PCCLIENT_EXECUTABLE);

    unit.use_stdin_pipe();
    // A generous acknowledgement timeout: a loaded test machine is no fault of the hub.
    unit.start("", {"--can", unit.path("can.sock"), "--gpio", unit.path("gpio.sock"), "--strict", "--ack-timeout",
                    "3000"});
    ASSERT_TRUE(unit.wait_stdout_line("gpio listening at " + unit.path("gpio.sock"), 5s));

    hubtest::HubConf conf;
    conf.can_device = unit.path("can.sock");
    conf.gpio_device = unit.path("gpio.sock");
    uint16_t port = hubtest::pick_free_port();
    conf.server_port = port;
    hub.start(conf.text());
    ASSERT_TRUE(unit.wait_stdout_line(starts_ends("hub ready: ", ""), 10s));

    pc.write_file("session.txt",
                  "wait-unit 5000\n"
                  "kvma 66 10\n"
                  "wait-record EXAM_PARAM 5000\n"
                  "wait-record EXAM_STATUS 10000\n"
                  "wait-record EXAM_STATUS 5000\n"
                  "wait-record EXAM_STATUS 5000\n"
                  "wait-record EXAM_STATUS 5000\n"
                  "close\n");
    pc.start("", {"--port", std::to_string(port), "--wait", "5000", "--status", "1", "--script",
                  pc.path("session.txt")});

    // The PC's command reaches the CPU node; its new line 1 reaches the PC.
    auto line1 =
        pc.wait_stdout_line(starts_ends("<- LINE1       [PANO  EX01      ] [66kV 10mA  A M 1] sum ", " ok"), 10s);
    ASSERT_TRUE(line1);
    auto sent = pc.wait_stdout_line("-> PC_CHANGE_KV_MA kV 66 mA 10", 0s);
    ASSERT_TRUE(sent);
    EXPECT_LT(*sent, *line1);
    auto command = unit.wait_stdout_line(starts_ends("(", ") can0 287#12420A"), 5s);
    ASSERT_TRUE(command);
    EXPECT_TRUE(unit.wait_stdout_line("display 1 \"66kV 10mA  A M 1\"", 5s, *command));
    EXPECT_TRUE(unit.wait_stdout_line(starts_ends("(", ") can0 20F#9036366B56203130"), 5s, *command));
    EXPECT_TRUE(pc.wait_stdout_line(
        starts_ends("<- EXAM_PARAM  [PANO  EX01      ] [66kV 10mA  A M 1] Byte13=1 Byte14=1 Word6=660 Byte15=1 "
                    "Byte16=2 Byte17=1 sum ",
                    " ok"),
        5s, *line1));

    // The PC reported status 1: the hub resets the sensor-ready line.
    EXPECT_TRUE(unit.wait_stdout_line("gpio 80000000: sensor ready off, sensor power off", 5s));

    // An exam on the unit: its four status codes reach the PC in order.
    ASSERT_TRUE(unit.write_stdin("exam\n"));
    size_t from = *line1;
    for (std::string code : {"1", "2", "7", "3"}) {
        auto status = pc.wait_stdout_line(
            [&](const std::string &l) {
                return l.rfind("<- EXAM_STATUS ", 0) == 0 &&
                       l.find(" ExamStatus=" + code + " sum ") != std::string::npos;
            },
            5s, from);
        ASSERT_TRUE(status) << "exam status " << code;
        from = *status + 1;
    }

    auto pc_status = pc.wait_exit(10s);
    ASSERT_TRUE(pc_status);
    EXPECT_TRUE(WIFEXITED(*pc_status) && WEXITSTATUS(*pc_status) == 0) << pc.stderr_text();

    // Every frame was acknowledged and every request answered: --strict exits 0.
    hub.stop();
    unit.close_stdin();
    auto unit_status = unit.wait_exit(5s);
    ASSERT_TRUE(unit_status);
    EXPECT_TRUE(WIFEXITED(*unit_status) && WEXITSTATUS(*unit_status) == 0) << unit.stdout_text();
    EXPECT_TRUE(unit.wait_stdout_line("unit: no problems seen", 5s));
}

}  // namespace

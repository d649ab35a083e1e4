// The off-board tools as a user runs them, beside the real hub.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <bit>
#include <filesystem>

#include "hub_process.h"
#include "pc_link.h"

using namespace std::chrono_literals;
using hubtest::HubProcess;
using Lines = std::vector<std::string>;

namespace {

hubtest::LineMatch starts_ends(std::string head, std::string tail) {
    return [head, tail](const std::string &line) {
        return line.size() >= head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    };
}

// Exit code of a process that ends by itself, after its output has been read to the end; -1 otherwise.
int exit_code(HubProcess &p, hubtest::Millis timeout = 10s) {
    auto status = p.wait_exit(timeout);
    auto never = [](const std::string &) { return false; };
    p.out().wait_line(never, 5s);  // returns as soon as the stream has ended
    p.err().wait_line(never, 5s);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string hub_conf(const HubProcess &devices, uint16_t port) {
    return "verbose = true\ncanDevice = \"" + devices.path("can.sock") + "\"\ngpioDevice = \"" +
           devices.path("gpio.sock") + "\"\nserverPort = " + std::to_string(port) + "\n";
}

TEST(HubDevsim, TracesTheHubsRequestsInjectsFramesAndEndsWithItsInput) {
    HubProcess sim(HUB_DEVSIM_EXECUTABLE), hub, pc(HUB_PCCLIENT_EXECUTABLE);
    sim.use_stdin_pipe();
    sim.start("", {"--can", sim.path("can.sock"), "--gpio", sim.path("gpio.sock"), "--not-ready", "1"});
    ASSERT_TRUE(sim.wait_stdout_line("gpio listening at " + sim.path("gpio.sock"), 5s));
    const uint16_t port = pcclient::free_port();
    hub.start(hub_conf(sim, port));
    // Device-socket words are in host byte order: "not ready" once, then ready.
    const char *one = std::endian::native == std::endian::little ? "01 00 00 00" : "00 00 00 01";
    auto not_ready = sim.wait_stdout_line(std::string("can  R result=0 arg=") + one, 5s);
    ASSERT_TRUE(not_ready);
    ASSERT_TRUE(sim.wait_stdout_line("can  R result=0 arg=00 00 00 00", 5s, *not_ready));
    ASSERT_TRUE(hub.wait_stdout_line(starts_ends("Thread \"can_rx_thread\"", ""), 5s));

    ASSERT_TRUE(sim.write_stdin("not a frame#zz\n217#0102030405060708\n"));
    EXPECT_TRUE(sim.wait_stderr_line("hub-devsim: not a frame: not a frame#zz", 5s));
    EXPECT_TRUE(sim.wait_stdout_line(starts_ends("can  F (", ") can0 217#0102030405060708"), 5s));
    EXPECT_TRUE(sim.wait_stdout_line(starts_ends("can  W (", ") can0 287#1602"), 5s)) << "the hub's acknowledgement";

    // The PC client's command lines: a bad one is reported and skipped, a wait that runs out ends the run.
    pc.write_file("pc.script", "kvma 300 1\nlock\nwait-record EXAM_STATUS 100\nunlock\n");
    pc.start("", {"--port", std::to_string(port), "--wait", "5000", "--script", pc.path("pc.script")});
    EXPECT_EQ(exit_code(pc), 1);
    EXPECT_EQ(pc.stderr_lines(), (Lines{"hub-pcclient: kvma: values 0 to 255",
                                        "hub-pcclient: wait-record EXAM_STATUS: none came in time"}));
    EXPECT_TRUE(pc.wait_stdout_line("-> PC_LOCK_KEYBORD", 0ms));
    EXPECT_FALSE(pc.wait_stdout_line("-> PC_UNLOCK_KEYBORD", 0ms)) << "the script stops at the failed wait";

    hub.stop();
    sim.close_stdin();
    EXPECT_EQ(exit_code(sim), 0);
    EXPECT_FALSE(std::filesystem::exists(sim.path("can.sock")) || std::filesystem::exists(sim.path("gpio.sock")));
}

// The unit's panel follows the PC's selections, and the unit's exam reports
// its status codes to the PC; --strict: every frame acknowledged, every
// process-data request answered.
TEST(UnitAndPcClient, ThePcsSelectionsReachTheUnitAndTheUnitsExamReachesThePc) {
    HubProcess unit(HUB_UNITSIM_EXECUTABLE), hub, pc(HUB_PCCLIENT_EXECUTABLE);
    unit.use_stdin_pipe();
    // A generous acknowledgement timeout: a loaded test machine is no fault of the hub.
    unit.start("", {"--can", unit.path("can.sock"), "--gpio", unit.path("gpio.sock"), "--strict", "--ack-timeout",
                    "3000"});
    ASSERT_TRUE(unit.wait_stdout_line("gpio listening at " + unit.path("gpio.sock"), 5s));
    const uint16_t port = pcclient::free_port();
    hub.start(hub_conf(unit, port));
    ASSERT_TRUE(unit.wait_stdout_line(starts_ends("hub ready: ", ""), 10s));
    EXPECT_TRUE(unit.wait_stdout_line("hub version 0.1 27", 5s));

    pc.write_file("pc.script",
                  "wait-unit 5000\nkvma 66 10\nwait-record EXAM_PARAM 5000\nexam 2 3\nwait-record EXAM_PARAM 5000\n"
                  "patsize 0\nwait-record EXAM_PARAM 5000\nlock\nwait-record LINE0 5000\ntime-start\n"
                  "wait-record DATE_TIME 5000\nwait-record EXAM_STATUS 10000\nwait-record EXAM_STATUS 5000\n"
                  "wait-record EXAM_STATUS 5000\nwait-record EXAM_STATUS 5000\nclose\n");
    pc.start("", {"--port", std::to_string(port), "--wait", "5000", "--status", "1", "--script",
                  pc.path("pc.script")});
    for (const char *note : {"hub command: 66 kV 10 mA", "display 1 \"66kV 10mA  A M 1\"", "hub command: exam CEPH 3",
                             "display 0 \"CEPH  EX03      \"", "hub command: patient size 3",
                             "display 1 \"66kV 10mA  A L 1\"", "hub command: keyboard locked",
                             "display 0 \"CEPH  EX03  LOCK\""})
        ASSERT_TRUE(unit.wait_stdout_line(note, 10s)) << note;
    EXPECT_TRUE(pc.wait_stdout_line(starts_ends("<- LINE0       [CEPH  EX03  LOCK] [66kV 10mA  A L 1] sum ", " ok"),
                                    5s));
    EXPECT_TRUE(pc.wait_stdout_line(
        starts_ends("<- EXAM_PARAM  [CEPH  EX03      ] [66kV 10mA  A L 1] Byte13=2 Byte14=3 Word6=660 ", " ok"), 5s));
    EXPECT_TRUE(pc.wait_stdout_line(starts_ends("<- DATE_TIME ", " ok"), 5s));
    // The PC reported status 1: the hub resets the sensor-ready line.
    EXPECT_TRUE(unit.wait_stdout_line("gpio 80000000: sensor ready off, sensor power off", 5s));

    ASSERT_TRUE(unit.write_stdin("exam\n"));
    size_t from = 0;
    for (std::string code : {"1", "2", "7", "3"}) {
        auto status = pc.wait_stdout_line(
            [&](const std::string &l) {
                return l.rfind("<- EXAM_STATUS ", 0) == 0 && l.find(" ExamStatus=" + code + " sum ") != std::string::npos;
            },
            5s, from);
        ASSERT_TRUE(status) << "exam status " << code;
        from = *status + 1;
    }
    EXPECT_EQ(exit_code(pc), 0) << pc.stderr_text();
    hub.stop();
    unit.close_stdin();
    EXPECT_EQ(exit_code(unit), 0) << unit.stdout_text();
    EXPECT_TRUE(unit.wait_stdout_line("unit: no problems seen", 0ms));
}

}  // namespace

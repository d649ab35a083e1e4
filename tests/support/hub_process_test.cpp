// The process runner, with stand-in scripts in place of the hub.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>

#include "hub_conf.h"
#include "hub_process.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using hubtest::HubProcess;

namespace {

// A stand-in executable in its own directory.
class Script {
public:
    explicit Script(const std::string &text) { hubtest::write_text_file(path(), text, 0755); }
    std::string path() const { return dir_.file("fake-hub"); }

private:
    hubtest::TempDir dir_{"fake-hub"};
};

TEST(HubProcess, RunsInItsDirectoryWithTheConfigurationAndSeparateStreams) {
    Script script("#!/bin/sh\n"
                  "pwd\n"
                  "cat hub.conf\n"
                  "echo 'to stderr' >&2\n"
                  "printf '@'\n"
                  "exit 3\n");
    HubProcess hub(script.path());
    hub.start("verbose = true\n");
    auto status = hub.wait_exit(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 3);
    EXPECT_TRUE(hub.wait_stdout_line(hub.dir(), 2s));
    auto conf = hub.wait_stdout_line("verbose = true", 2s);
    ASSERT_TRUE(conf);
    EXPECT_EQ(*conf, 1u);
    EXPECT_TRUE(hub.wait_stderr_line("to stderr", 2s));
    EXPECT_TRUE(hub.wait_stdout_text("@", 2s));
    EXPECT_EQ(hub.stdout_lines().size(), 2u);  // the '@' ends no line
    EXPECT_EQ(hub.stop(), *status);
    EXPECT_EQ(hub.stdout_text().back(), '@');
}

TEST(HubProcess, PutsTheStubsFirstOnPathAndRecordsIfconfigCalls) {
    Script script("#!/bin/sh\n"
                  "command -v ifconfig\n"
                  "ifconfig eth0 10.1.2.3 netmask 255.255.255.0\n"
                  "ifconfig eth0 up\n"
                  "greet world\n"
                  "exec sleep 1000\n");
    HubProcess hub(script.path());
    hub.add_stub("greet", "#!/bin/sh\necho \"hello $1\"\n");
    hub.start("");
    EXPECT_TRUE(hub.wait_stdout_line(hub.path("bin/ifconfig"), 5s));
    ASSERT_TRUE(hub.wait_stub_calls("ifconfig", 2, 5s));
    EXPECT_EQ(hub.stub_calls("ifconfig"),
              (std::vector<std::string>{"eth0 10.1.2.3 netmask 255.255.255.0", "eth0 up"}));
    EXPECT_TRUE(hub.wait_stdout_line("hello world", 5s));
    EXPECT_FALSE(hub.wait_stub_calls("ifconfig", 3, 50ms));
}

TEST(HubProcess, StopEndsTheProcessWithSigterm) {
    Script script("#!/bin/sh\necho ready\nexec sleep 1000\n");
    HubProcess hub(script.path());
    hub.start("");
    ASSERT_TRUE(hub.wait_stdout_line("ready", 5s));
    EXPECT_TRUE(hub.running());
    EXPECT_GE(hub.cpu_time().count(), 0);
    EXPECT_FALSE(hub.wait_exit(50ms));
    int status = hub.stop();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(hub.running());
    EXPECT_THROW(hub.cpu_time(), std::runtime_error);
}

TEST(HubProcess, StopFallsBackToSigkill) {
    Script script("#!/bin/sh\ntrap '' TERM\necho ready\nexec sleep 1000\n");
    HubProcess hub(script.path());
    hub.start("");
    ASSERT_TRUE(hub.wait_stdout_line("ready", 5s));
    int status = hub.stop(200ms);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(HubProcess, WaitsEndWhenTheOutputEnds) {
    Script script("#!/bin/sh\necho only\n");
    HubProcess hub(script.path());
    hub.start("");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(hub.wait_stdout_line("never", 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(HubProcess, CountsCpuTime) {
    // Spins in the shell for a while, so its CPU time grows measurably.
    Script script("#!/bin/sh\ni=0\nwhile [ $i -lt 200000 ]; do i=$((i+1)); done\necho spun\nexec sleep 1000\n");
    HubProcess hub(script.path());
    hub.start("");
    ASSERT_TRUE(hub.wait_stdout_line("spun", 30s));
    EXPECT_GT(hub.cpu_time().count(), 0);
}

TEST(HubProcess, RemovesItsDirectory) {
    std::string dir;
    {
        HubProcess hub("/bin/true");
        dir = hub.dir();
        hub.start("");
        ASSERT_TRUE(hub.wait_exit(5s));
    }
    struct stat st;
    EXPECT_NE(stat(dir.c_str(), &st), 0);
}

TEST(HubProcess, ReportsAnExecutableThatCannotStart) {
    HubProcess hub("/nonexistent/hub");
    EXPECT_THROW(hub.start(""), std::system_error);
}

TEST(HubConf, WritesTheSetFieldsInConfigurationSyntax) {
    hubtest::HubConf conf;
    conf.syslog = true;
    conf.can_device = "/tmp/x/can.sock";
    conf.server_port = 40001;
    conf.poll_time = 5;
    conf.extra = "bogus = 1\n";
    EXPECT_EQ(conf.text(),
              "verbose = true\n"
              "syslog = true\n"
              "simulator = false\n"
              "temperature = false\n"
              "display = false\n"
              "canDevice = \"/tmp/x/can.sock\"\n"
              "serverPort = 40001\n"
              "pollTime = 5\n"
              "bogus = 1\n");
}

}  // namespace

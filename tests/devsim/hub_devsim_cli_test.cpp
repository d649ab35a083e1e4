// The hub-devsim command: its trace lines, its standard-input commands and
// its ways of ending. Run through the harness's process runner.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <bit>
#include <chrono>

#include "devsim/device_packets.h"
#include "hub_process.h"
#include "raw_device_client.h"

using namespace std::chrono_literals;
using devsim::Bytes;

namespace {

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

hubtest::LineMatch starts_ends(std::string head, std::string tail) {
    return [head, tail](const std::string &line) {
        return line.size() >= head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    };
}

class HubDevsimCli : public ::testing::Test {
protected:
    hubtest::HubProcess sim_{HUB_DEVSIM_EXECUTABLE};
    std::string can_ = sim_.path("can.sock");
    std::string gpio_ = sim_.path("gpio.sock");

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--can", can_, "--gpio", gpio_};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_.use_stdin_pipe();
        sim_.start("", args);
        ASSERT_TRUE(sim_.wait_stdout_line("gpio listening at " + gpio_, 5s));
    }
};

TEST_F(HubDevsimCli, TracesEveryPacketAndInjectsFramesFromStandardInput) {
    start({"--not-ready", "1", "--temperature", "42"});
    RawDeviceClient can, gpio;
    ASSERT_EQ(can.connect(can_), 0);
    ASSERT_EQ(gpio.connect(gpio_), 0);
    ASSERT_TRUE(sim_.wait_stdout_line("can  connected", 2s));

    auto status = can.ioctl(0, devsim::u32_arg({0}));
    ASSERT_TRUE(status);
    EXPECT_EQ(devsim::arg_u32(status->arg, 0), 1u);
    EXPECT_TRUE(sim_.wait_stdout_line("can  I request=0 arg=00 00 00 00", 2s));
    // Device-socket words are in host byte order.
    const char *one = std::endian::native == std::endian::little ? "01 00 00 00" : "00 00 00 01";
    EXPECT_TRUE(sim_.wait_stdout_line(std::string("can  R result=0 arg=") + one, 2s));

    ASSERT_TRUE(sim_.write_stdin("217#1002\n"));
    auto packet = can.receive(2s);
    ASSERT_TRUE(packet);
    auto frame = devsim::decode_frame(*packet);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id, 0x217u);
    EXPECT_EQ(frame->length, 2);
    EXPECT_EQ(frame->data[0], 0x10);
    EXPECT_TRUE(sim_.wait_stdout_line(starts_ends("can  F (", ") can0 217#1002"), 2s));

    CanFrame ack{};
    ack.id = 0x287;
    ack.length = 2;
    ack.data[0] = 0x16;
    ack.data[1] = 0x02;
    ASSERT_TRUE(can.send(devsim::encode_write(ack)));
    EXPECT_TRUE(sim_.wait_stdout_line(starts_ends("can  W (", ") can0 287#1602"), 2s));

    auto temperature = gpio.ioctl(3, Bytes{0});
    ASSERT_TRUE(temperature);
    EXPECT_EQ(temperature->arg, Bytes{42});
    EXPECT_TRUE(sim_.wait_stdout_line("gpio R result=0 arg=2a", 2s));
    ASSERT_TRUE(sim_.write_stdin("temperature 7\n"));
    ASSERT_TRUE(sim_.write_stdin("not a frame#zz\n"));
    EXPECT_TRUE(sim_.wait_stderr_line("hub-devsim: not a frame: not a frame#zz", 2s));
    temperature = gpio.ioctl(3, Bytes{0});
    ASSERT_TRUE(temperature);
    EXPECT_EQ(temperature->arg, Bytes{7});

    // The end of standard input ends it, and it removes its sockets.
    sim_.close_stdin();
    auto exit_status = sim_.wait_exit(5s);
    ASSERT_TRUE(exit_status);
    EXPECT_TRUE(WIFEXITED(*exit_status) && WEXITSTATUS(*exit_status) == 0);
    EXPECT_FALSE(exists(can_));
    EXPECT_FALSE(exists(gpio_));
}

TEST_F(HubDevsimCli, KeepsRunningAfterEndOfInputWhenAskedAndEndsOnSigterm) {
    start({"--keep-running"});
    ASSERT_TRUE(sim_.write_stdin("hangup can\n"));
    sim_.close_stdin();
    EXPECT_FALSE(sim_.wait_exit(200ms));
    RawDeviceClient can;
    ASSERT_EQ(can.connect(can_), 0);
    ASSERT_TRUE(sim_.wait_stdout_line("can  connected", 2s));
    sim_.signal(SIGTERM);
    auto exit_status = sim_.wait_exit(5s);
    ASSERT_TRUE(exit_status);
    EXPECT_TRUE(WIFEXITED(*exit_status) && WEXITSTATUS(*exit_status) == 0);
    EXPECT_FALSE(exists(can_));
}

TEST_F(HubDevsimCli, RejectsAMissingDevicePath) {
    sim_.start("", {"--can", can_});
    auto exit_status = sim_.wait_exit(5s);
    ASSERT_TRUE(exit_status);
    EXPECT_TRUE(WIFEXITED(*exit_status) && WEXITSTATUS(*exit_status) == 2);
    EXPECT_TRUE(sim_.wait_stderr_line(starts_ends("usage: hub-devsim", "[--keep-running]"), 2s));
}

}  // namespace

// The simulated CAN controller, spoken to as the hub would over its socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "devsim/can_device.h"
#include "raw_device_client.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using devsim::Bytes;
using devsim::CanDevice;

namespace {

CanFrame make_frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    CanFrame f{};
    f.id = id;
    for (uint8_t b : bytes) f.data[f.length++] = b;
    return f;
}

bool same_frame(const CanFrame &a, const CanFrame &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int32_t status_of(const devsim::ResultPacket &reply) {
    return static_cast<int32_t>(devsim::arg_u32(reply.arg, 0));
}

class CanDeviceTest : public ::testing::Test {
protected:
    hubtest::TempDir dir_{"devsim-test"};
    CanDevice can_{dir_.file("can.sock")};
    RawDeviceClient hub_;

    void SetUp() override {
        ASSERT_EQ(hub_.connect(can_.path()), 0);
        ASSERT_TRUE(can_.wait_for_connections(1, 2s));
    }
};

TEST_F(CanDeviceTest, ReportsNotReadyTheGivenNumberOfTimesThenReady) {
    can_.set_not_ready(2);
    for (int32_t expected : {1, 1, 0, 0}) {
        auto reply = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0x55555555}));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result, 0);
        ASSERT_EQ(reply->arg.size(), 4u);
        EXPECT_EQ(status_of(*reply), expected);
    }
    EXPECT_EQ(can_.status_queries(), 4u);
}

TEST_F(CanDeviceTest, NegativeNotReadyCountMeansNeverReady) {
    can_.set_not_ready(-1);
    for (int i = 0; i < 3; ++i) {
        auto reply = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0}));
        ASSERT_TRUE(reply);
        EXPECT_EQ(status_of(*reply), devsim::CAN_STATUS_NOT_READY);
    }
}

TEST_F(CanDeviceTest, RefusesUnknownRequestsAndWrongSizes) {
    auto unknown = hub_.ioctl(5, devsim::u32_arg({7}));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->result, -1);
    EXPECT_EQ(unknown->arg, devsim::u32_arg({7}));
    auto short_arg = hub_.ioctl(devsim::CAN_STATUS_REQUEST, Bytes{1, 2});
    ASSERT_TRUE(short_arg);
    EXPECT_EQ(short_arg->result, -1);
    EXPECT_EQ(short_arg->arg, (Bytes{1, 2}));
}

TEST_F(CanDeviceTest, RecordsEveryFrameWrittenInOrder) {
    CanFrame a = make_frame(0x287, {0x16, 0x02});
    CanFrame b = make_frame(0x287, {0x12, 70, 8});
    CanFrame c = make_frame(0x287, {});
    for (const CanFrame &f : {a, b, c}) ASSERT_TRUE(hub_.send(devsim::encode_write(f)));
    ASSERT_TRUE(can_.wait_for_frames(3, 2s));
    auto frames = can_.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(same_frame(frames[0], a));
    EXPECT_TRUE(same_frame(frames[1], b));
    EXPECT_TRUE(same_frame(frames[2], c));
    auto kv = can_.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0x12; }, 1s);
    ASSERT_TRUE(kv);
    EXPECT_TRUE(same_frame(*kv, b));
    EXPECT_FALSE(can_.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0x12; }, 50ms, 2));
}

TEST_F(CanDeviceTest, DeliversInjectedFramesAsFPackets) {
    CanFrame f = make_frame(0x217, {0x10, 1, 2, 3, 4, 5, 6, 7});
    f.pad[1] = 0xAB;  // the record goes byte for byte, padding included
    can_.inject(f);
    ASSERT_TRUE(can_.wait_sent(2s));
    auto packet = hub_.receive(2s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->size(), devsim::FRAME_PACKET_SIZE);
    auto got = devsim::decode_frame(*packet);
    ASSERT_TRUE(got);
    EXPECT_TRUE(same_frame(*got, f));
}

TEST_F(CanDeviceTest, KeepsInjectedFramesForTheNextConnection) {
    can_.hang_up();
    ASSERT_TRUE(hub_.wait_hang_up(2s));
    CanFrame f = make_frame(0x3A7, {9});
    can_.inject(f);
    EXPECT_FALSE(can_.wait_sent(50ms));
    ASSERT_EQ(hub_.connect(can_.path()), 0);
    ASSERT_TRUE(can_.wait_sent(2s));
    auto packet = hub_.receive(2s);
    ASSERT_TRUE(packet);
    ASSERT_TRUE(devsim::decode_frame(*packet));
    EXPECT_TRUE(same_frame(*devsim::decode_frame(*packet), f));
}

TEST_F(CanDeviceTest, HangUpClosesTheConnectionAndAcceptsAReconnect) {
    can_.hang_up();
    EXPECT_FALSE(can_.connected());
    EXPECT_EQ(can_.disconnections(), 1u);
    EXPECT_TRUE(hub_.wait_hang_up(2s));
    ASSERT_EQ(hub_.connect(can_.path()), 0);
    ASSERT_TRUE(can_.wait_for_connections(2, 2s));
    auto reply = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({1}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(*reply), devsim::CAN_STATUS_READY);
}

TEST_F(CanDeviceTest, SeesTheHubCloseItsEnd) {
    hub_.close();
    EXPECT_TRUE(can_.wait_for_disconnections(1, 2s));
    EXPECT_FALSE(can_.connected());
}

TEST_F(CanDeviceTest, TheNewestConnectionWins) {
    RawDeviceClient second;
    ASSERT_EQ(second.connect(can_.path()), 0);
    ASSERT_TRUE(can_.wait_for_connections(2, 2s));
    EXPECT_TRUE(hub_.wait_hang_up(2s));
    auto reply = second.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({1}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0);
}

TEST_F(CanDeviceTest, StallBlocksTheWriterUntilResumed) {
    can_.stall();
    // A request sent after the stall is not read either, so its answer proves
    // the stall is in force before the flood below.
    ASSERT_TRUE(hub_.send(devsim::encode_ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0}))));
    EXPECT_FALSE(hub_.receive(100ms));
    size_t sent = 0;
    CanFrame f = make_frame(0x287, {0, 0});
    for (; sent < 100000; ++sent) {  // bounded: the socket buffer fills long before
        f.data[0] = static_cast<uint8_t>(sent);
        f.data[1] = static_cast<uint8_t>(sent >> 8);
        if (!hub_.try_send(devsim::encode_write(f))) break;
    }
    ASSERT_LT(sent, 100000u) << "the device kept reading while stalled";
    EXPECT_EQ(can_.frame_count(), 0u);
    can_.resume();
    ASSERT_TRUE(can_.wait_for_frames(sent, 5s));
    auto frames = can_.frames();
    for (size_t i = 0; i < sent; ++i) {
        ASSERT_EQ(frames[i].data[0], static_cast<uint8_t>(i));
        ASSERT_EQ(frames[i].data[1], static_cast<uint8_t>(i >> 8));
    }
    EXPECT_TRUE(hub_.receive(2s));  // the request's answer, now read
}

TEST_F(CanDeviceTest, AnswersLateWhenToldTo) {
    can_.set_reply_delay(300ms);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(hub_.send(devsim::encode_ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0}))));
    ASSERT_TRUE(hub_.send(devsim::encode_ioctl(7, {})));
    auto first = hub_.receive(2s);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(first);
    EXPECT_GE(elapsed, 300ms);
    EXPECT_EQ(devsim::decode_result(*first)->result, 0);  // answers keep their order
    auto second = hub_.receive(2s);
    ASSERT_TRUE(second);
    EXPECT_EQ(devsim::decode_result(*second)->result, -1);
}

TEST_F(CanDeviceTest, DroppedRequestsAreRecordedButNeitherAppliedNorAnswered) {
    can_.set_not_ready(1);
    can_.drop_replies(1);
    ASSERT_TRUE(hub_.send(devsim::encode_ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0}))));
    ASSERT_TRUE(can_.wait_for_status_queries(1, 2s));
    EXPECT_FALSE(hub_.receive(100ms));
    // The dropped query did not use up the "not ready" answer.
    auto reply = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(status_of(*reply), devsim::CAN_STATUS_NOT_READY);
    EXPECT_EQ(can_.status_queries(), 2u);
}

TEST_F(CanDeviceTest, FailsTheChosenRequestOnDemand) {
    can_.fail_requests(devsim::CAN_STATUS_REQUEST, 1);
    auto failed = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0x1234}));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->result, -1);
    EXPECT_EQ(failed->arg, devsim::u32_arg({0x1234}));
    auto next = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0x1234}));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->result, 0);
    EXPECT_EQ(status_of(*next), 0);
}

TEST_F(CanDeviceTest, CountsMalformedPacketsAndStaysConnected) {
    ASSERT_TRUE(hub_.send(Bytes{'X', 1, 2, 3}));
    ASSERT_TRUE(hub_.send(Bytes{'W', 1, 2}));  // a frame packet of the wrong size
    auto reply = hub_.ioctl(devsim::CAN_STATUS_REQUEST, devsim::u32_arg({0}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(can_.malformed_packets(), 2u);
    EXPECT_EQ(can_.frame_count(), 0u);
}

TEST_F(CanDeviceTest, StopsListeningOnRequestAndListensAgain) {
    ASSERT_TRUE(can_.set_listening(false));
    struct stat st;
    EXPECT_NE(stat(can_.path().c_str(), &st), 0);
    RawDeviceClient other;
    EXPECT_NE(other.connect(can_.path()), 0);
    ASSERT_TRUE(can_.set_listening(true));
    EXPECT_EQ(other.connect(can_.path()), 0);
    EXPECT_TRUE(can_.wait_for_connections(2, 2s));
}

TEST(CanDeviceLifetime, RemovesItsSocketFileWhenDestroyed) {
    hubtest::TempDir dir("devsim-test");
    std::string path = dir.file("can.sock");
    struct stat st;
    {
        CanDevice can(path);
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        RawDeviceClient hub;
        ASSERT_EQ(hub.connect(path), 0);
        ASSERT_TRUE(can.wait_for_connections(1, 2s));
    }
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST(CanDeviceLifetime, ReplacesAStaleSocketFile) {
    hubtest::TempDir dir("devsim-test");
    std::string path = dir.file("can.sock");
    // What a crashed simulator leaves: a bound socket file nobody listens on.
    int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(stale);
    CanDevice can(path);
    RawDeviceClient hub;
    EXPECT_EQ(hub.connect(path), 0);
}

}  // namespace

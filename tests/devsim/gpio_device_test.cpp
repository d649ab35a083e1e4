// The simulated GPIO device, spoken to as the hub would over its socket.
#include <gtest/gtest.h>

#include <chrono>

#include "devsim/gpio_device.h"
#include "raw_device_client.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using devsim::Bytes;
using devsim::GpioDevice;
using devsim::u32_arg;

namespace {

class GpioDeviceTest : public ::testing::Test {
protected:
    hubtest::TempDir dir_{"devsim-test"};
    GpioDevice gpio_{dir_.file("gpio.sock")};
    RawDeviceClient hub_;

    void SetUp() override {
        ASSERT_EQ(hub_.connect(gpio_.path()), 0);
        ASSERT_TRUE(gpio_.wait_for_connections(1, 2s));
    }
};

TEST_F(GpioDeviceTest, ReadsTheOutputRecord) {
    gpio_.set_output_record(0xCAFE0001, 0x40);
    auto reply = hub_.ioctl(devsim::GPIO_REQ_READ_RECORD, u32_arg({0, 0}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(reply->arg, u32_arg({0xCAFE0001, 0x40}));
}

TEST_F(GpioDeviceTest, WriteTakesTheSecondWordAsTheBits) {
    gpio_.set_output_record(7, 0);
    auto reply = hub_.ioctl(devsim::GPIO_REQ_WRITE_RECORD, u32_arg({99, 0x80000000}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(gpio_.bits(), 0x80000000u);
    EXPECT_EQ(gpio_.word0(), 7u);
}

TEST_F(GpioDeviceTest, SetsAndResetsBitsByMask) {
    gpio_.set_output_record(0, 0x01);
    ASSERT_TRUE(hub_.ioctl(devsim::GPIO_REQ_SET_BITS, u32_arg({0x40})));
    EXPECT_EQ(gpio_.bits(), 0x41u);
    ASSERT_TRUE(hub_.ioctl(devsim::GPIO_REQ_RESET_BITS, u32_arg({0x01})));
    EXPECT_EQ(gpio_.bits(), 0x40u);
    EXPECT_TRUE(gpio_.wait_for_bits([](uint32_t bits) { return bits == 0x40; }, 1s));
}

TEST_F(GpioDeviceTest, ReportsTheTemperatureByte) {
    gpio_.set_temperature(0x9C);
    auto reply = hub_.ioctl(devsim::GPIO_REQ_READ_TEMPERATURE, Bytes{0});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(reply->arg, Bytes{0x9C});
}

TEST_F(GpioDeviceTest, RecordsEveryRequestWithItsArgument) {
    ASSERT_TRUE(hub_.ioctl(devsim::GPIO_REQ_SET_BITS, u32_arg({0x40})));
    ASSERT_TRUE(hub_.ioctl(devsim::GPIO_REQ_READ_TEMPERATURE, Bytes{0}));
    ASSERT_TRUE(gpio_.wait_for_requests(2, 1s));
    auto requests = gpio_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].number, devsim::GPIO_REQ_SET_BITS);
    EXPECT_EQ(requests[0].arg, u32_arg({0x40}));
    EXPECT_EQ(requests[1].number, devsim::GPIO_REQ_READ_TEMPERATURE);
    EXPECT_EQ(gpio_.request_count(devsim::GPIO_REQ_SET_BITS), 1u);
    auto found = gpio_.wait_for_request(
        [](const devsim::Request &r) { return r.number == devsim::GPIO_REQ_READ_TEMPERATURE; }, 1s);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->arg, Bytes{0});
}

TEST_F(GpioDeviceTest, AFailedRequestReturnsMinusOneAndChangesNothing) {
    gpio_.set_output_record(0, 0x01);
    gpio_.fail_requests(devsim::GPIO_REQ_SET_BITS, -1);
    for (int i = 0; i < 2; ++i) {
        auto reply = hub_.ioctl(devsim::GPIO_REQ_SET_BITS, u32_arg({0x40}));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result, -1);
        EXPECT_EQ(reply->arg, u32_arg({0x40}));
    }
    EXPECT_EQ(gpio_.bits(), 0x01u);
    auto other = hub_.ioctl(devsim::GPIO_REQ_RESET_BITS, u32_arg({0x01}));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->result, 0);
    gpio_.fail_requests(devsim::GPIO_REQ_SET_BITS, 0);
    auto again = hub_.ioctl(devsim::GPIO_REQ_SET_BITS, u32_arg({0x40}));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->result, 0);
    EXPECT_EQ(gpio_.bits(), 0x40u);
}

TEST_F(GpioDeviceTest, RefusesUnknownRequestsAndWrongSizes) {
    auto unknown = hub_.ioctl(2, u32_arg({1}));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->result, -1);
    auto short_record = hub_.ioctl(devsim::GPIO_REQ_WRITE_RECORD, u32_arg({1}));
    ASSERT_TRUE(short_record);
    EXPECT_EQ(short_record->result, -1);
    EXPECT_EQ(gpio_.bits(), 0u);
}

TEST_F(GpioDeviceTest, NeverAnswersWhenToldToDropReplies) {
    gpio_.drop_replies(-1);
    ASSERT_TRUE(hub_.send(devsim::encode_ioctl(devsim::GPIO_REQ_SET_BITS, u32_arg({0x40}))));
    ASSERT_TRUE(gpio_.wait_for_requests(1, 1s));
    EXPECT_FALSE(hub_.receive(200ms));
    EXPECT_EQ(gpio_.bits(), 0u);
    gpio_.drop_replies(0);
    EXPECT_TRUE(hub_.ioctl(devsim::GPIO_REQ_SET_BITS, u32_arg({0x40})));
    EXPECT_EQ(gpio_.bits(), 0x40u);
}

TEST_F(GpioDeviceTest, HangUpIsSeenByTheHub) {
    gpio_.hang_up();
    EXPECT_TRUE(hub_.wait_hang_up(2s));
}

}  // namespace

// The packet layouts of the device socket, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "devsim/device_packets.h"

using devsim::Bytes;

namespace {

TEST(DevicePackets, FramePacketsAreTheKindByteThenTheSixteenByteRecord) {
    CanFrame f{};
    f.id = 0x287;
    f.length = 2;
    f.data[0] = 0x16;
    f.data[1] = 0x02;
    Bytes w = devsim::encode_write(f);
    ASSERT_EQ(w.size(), 17u);
    EXPECT_EQ(w[0], 'W');
    EXPECT_EQ(std::memcmp(w.data() + 1, &f, 16), 0);
    Bytes r = devsim::encode_frame(f);
    EXPECT_EQ(r[0], 'F');
    auto back = devsim::decode_frame(r);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 0x287u);
    EXPECT_FALSE(devsim::decode_frame(w));          // wrong kind
    EXPECT_FALSE(devsim::decode_write(Bytes{'W'}));  // wrong size
}

TEST(DevicePackets, RequestsAndResultsCarryAHostOrderWordAndTheArgument) {
    Bytes i = devsim::encode_ioctl(7, Bytes{0x40, 0, 0, 0});
    uint32_t request = 7;
    ASSERT_EQ(i.size(), 9u);
    EXPECT_EQ(i[0], 'I');
    EXPECT_EQ(std::memcmp(i.data() + 1, &request, 4), 0);
    auto decoded = devsim::decode_ioctl(i);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->request, 7u);
    EXPECT_EQ(decoded->arg, (Bytes{0x40, 0, 0, 0}));

    Bytes r = devsim::encode_result(-1, Bytes{5});
    int32_t minus_one = -1;
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0], 'R');
    EXPECT_EQ(std::memcmp(r.data() + 1, &minus_one, 4), 0);
    auto result = devsim::decode_result(r);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->result, -1);
    EXPECT_EQ(result->arg, Bytes{5});
    EXPECT_FALSE(devsim::decode_result(Bytes{'R', 0, 0}));
}

TEST(DevicePackets, ArgumentWordsAreHostOrder) {
    Bytes arg = devsim::u32_arg({1, 0x80000000});
    ASSERT_EQ(arg.size(), 8u);
    uint32_t second;
    std::memcpy(&second, arg.data() + 4, 4);
    EXPECT_EQ(second, 0x80000000u);
    EXPECT_EQ(devsim::arg_u32(arg, 4), 0x80000000u);
    EXPECT_EQ(devsim::arg_u32(arg, 6), 0u);  // past the end reads as zero
}

}  // namespace

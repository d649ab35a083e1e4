// The transmit ring with its writer (the receive dispatch by node: tests/e2e).
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "can/thread_can_write.h"
#include "platform/monotonic.h"
#include "hub_test.h"

namespace {

using TransmitRing = HubTest;

TEST_F(TransmitRing, HoldsThirtyOneFramesAndDropsTheNextWithOneAtSign) {
    std::string out = stdout_of([] {
        for (uint8_t k = 0; k < 32; ++k) canSendMessage(make_frame(0x287, {k}));
    });
    EXPECT_EQ(out, "@") << "printed with tracing off";
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(can_tx_pass(p[1]), 1);  // the writer takes frame 0: room for one more
    close(p[0]);
    close(p[1]);
    out = stdout_of([] {
        canSendMessage(make_frame(0x287, {32}));
        canSendMessage(make_frame(0x287, {33}));
    });
    EXPECT_EQ(out, "@");
    Lines expected;
    for (uint8_t k = 1; k <= 30; ++k) expected.push_back(cansend(make_frame(0x287, {k})));
    expected.push_back("287#20");
    EXPECT_EQ(sent_frames(), expected);
}

// Two producers at once while the writer drains (each round fits the ring):
// nothing lost, each one's order kept. A producer that skips the ring's lock
// is caught by the ThreadSanitizer run of this test (sanitizer stage), which
// reports the unordered accesses; here it would show only by chance.
TEST_F(TransmitRing, TwoProducersAndTheWriterAtOnce) {
    constexpr int kRounds = 10, kPerRound = 15;
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    auto produce = [](uint8_t who, int round) {
        for (int seq = round * kPerRound; seq < (round + 1) * kPerRound; ++seq)
            canSendMessage(make_frame(0x287, {who, static_cast<uint8_t>(seq)}));
    };
    std::vector<CanFrame> got;
    std::string out = stdout_of([&] {
        std::thread writer(can_tx_thread, &p[1]);
        CanFrame f;
        for (int round = 0; round < kRounds; ++round) {
            std::thread a(produce, 1, round), b(produce, 2, round);
            a.join();
            b.join();
            for (int i = 0; i < 2 * kPerRound && read(p[0], &f, sizeof f) == sizeof f; ++i) got.push_back(f);
        }
        can_tx_request_stop();
        writer.join();
    });
    CanTxThStatus = 1;
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(out, "") << "no frame was dropped";
    int next[3] = {0, 0, 0};
    for (const CanFrame &f : got) ASSERT_EQ(f.data[1], next[f.data[0] % 3]++) << "producer " << int{f.data[0]};
    EXPECT_EQ(got.size(), size_t{2 * kRounds * kPerRound});
}

TEST_F(TransmitRing, ALengthZeroFrameIsWrittenAsAWholeRecordWithTheSlotsOldBytes) {
    for (int i = 0; i < 32; ++i) {  // every slot passes a full frame first
        canSendMessage(make_frame(0x287, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
        written_records();
    }
    canSendMessage(make_frame(0x287, {}));
    std::vector<CanFrame> written = written_records();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].length, 0);
    EXPECT_EQ(Bytes(written[0].data, written[0].data + 8), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
}

TEST_F(TransmitRing, TheWriterTracesEveryIdButTheHubsOwn) {
    set_tracing(true, true);
    std::string out = stdout_of([] {
        canSendMessage(make_frame(0x287, {1, 2}));
        canSendMessage(make_frame(0x283, {1, 2}));
        EXPECT_EQ(sent_frames(), (Lines{"287#0102", "283#0102"}));
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(syslog_records(), Lines{});
    out = stdout_of([] {
        canSendMessage(make_frame(0x100, {0x01, 0x02}));
        sent_frames();
    });
    EXPECT_EQ(out, "Writing. Id: 256, length: 2, data: 0x01 0x02 ");
    EXPECT_EQ(syslog_records(), (Lines{"Writing. Id: 256, length: 2, data: ", "0x01 ", "0x02 "}));
}

// A device that takes nothing for a second: the frame is dropped, not sent
// late, and the count is said once the next frame goes out.
TEST_F(TransmitRing, AFrameOlderThanOneSecondIsDroppedAndSaidWhenFramesFlowAgain) {
    set_tracing(false, true);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    CanFrame f{};
    while (write(p[1], &f, sizeof f) == sizeof f) {
    }
    canSendMessage(make_frame(0x287, {1}));
    const int64_t start = monotonic_ms();
    EXPECT_EQ(can_tx_pass(p[1]), 1);
    EXPECT_GE(monotonic_ms() - start, CAN_TX_MAX_AGE_MS - 50) << "dropped before its time";
    while (read(p[0], &f, sizeof f) == sizeof f) {
    }
    canSendMessage(make_frame(0x287, {2}));
    EXPECT_EQ(can_tx_pass(p[1]), 1);
    ASSERT_EQ(read(p[0], &f, sizeof f), static_cast<ssize_t>(sizeof f));
    EXPECT_EQ(cansend(f), "287#02");
    EXPECT_EQ(read(p[0], &f, sizeof f), -1) << "the old frame never went out";
    EXPECT_EQ(syslog_records(), Lines{"CAN: 1 frame older than 1 s dropped while the bus was down\n"});
    close(p[0]);
    close(p[1]);
}

}  // namespace

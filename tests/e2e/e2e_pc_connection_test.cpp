// How PC connections end: the PC's close request, the PC closing its side,
// a PC that vanishes with a reset in the middle of a stream of reports, and
// a listening port that is already taken.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e_pc_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using namespace e2e_pc;
using hubtest::PcClient;
using hubtest::PcRecord;
using hubtest::record_type;
using Clock = std::chrono::steady_clock;

namespace {

bool is_time_out_report(const std::string &line) { return line.rfind("Time Out: ", 0) == 0; }

size_t count_frames(const std::vector<CanFrame> &frames, const std::string &text) {
    size_t n = 0;
    for (const auto &f : frames)
        if (frame_text(f) == text) ++n;
    return n;
}

CanFrame exam_param(uint8_t n) { return cpu_frame(ID_CPU_EXAM_PARAM, {n, 2, 3, 4, 5, 6, 7, 8}); }

}  // namespace

// PC_CLOSE_SOCKET ends the connection quietly; the PC closing its own side is
// reported on standard error as "Time Out". The hub serves the next PC either way.
TEST(PcLinkConnection, CloseRequestIsQuietAndAClosedPcIsATimeOut) {
    hubtest::HubRig rig;
    rig.start();
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 10s));
    ASSERT_TRUE(pc.read_record(5s));
    // The close request counts only once the CPU node is initialised.
    rig.can.inject(test_selection_1_to_8());
    ASSERT_TRUE(pc.wait_record_type(6, 5s));

    ASSERT_TRUE(pc.send(PcRecord{.event = EV_CLOSE_SOCKET}));
    ASSERT_TRUE(pc.wait_closed(5s));
    auto event = rig.hub.wait_stdout_line("Recived Message from PC... Event: PC_CLOSE_SOCKET! 1", 2s);
    ASSERT_TRUE(event);
    ASSERT_TRUE(rig.hub.wait_stdout_line("Close Client Socket!", 2s, *event + 1));
    EXPECT_TRUE(checksums_ok(pc.records()));

    PcClient next;
    ASSERT_TRUE(next.connect(rig.port, 5s));
    auto first = next.read_record(5s);
    ASSERT_TRUE(first);
    EXPECT_EQ(record_type(*first), 0);
    size_t from = rig.hub.stdout_lines().size();
    next.close();
    ASSERT_TRUE(rig.hub.wait_stdout_line("recv retval: 0", 5s, from));
    ASSERT_TRUE(rig.hub.wait_stderr_line(is_time_out_report, 2s));
    // The close request left nothing on standard error.
    auto errors = rig.hub.stderr_lines();
    ASSERT_EQ(errors.size(), 1u) << rig.hub.stderr_text();
    EXPECT_TRUE(is_time_out_report(errors[0])) << errors[0];
    EXPECT_TRUE(checksums_ok(next.records()));
    EXPECT_TRUE(rig.hub.running());
}

TEST(PcLinkConnection, PortInUseEndsTheHub) {
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(rig.port);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(taken, 1), 0);

    rig.start();
    auto status = rig.hub.wait_exit(10s);
    close(taken);
    ASSERT_TRUE(status) << "the hub kept running";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    ASSERT_TRUE(rig.hub.wait_stderr_line("bind: Address already in use", 2s)) << rig.hub.stderr_text();
}

// PCs that reset their connection while exam parameters stream to them do
// not disturb the hub: every acknowledgement still goes out, PC or no PC, and
// the next PC is served from its first watchdog on. Several PCs vanish in
// turn, since a report only meets the dead connection in the moment before
// the hub closes it. Frames go in batches that the hub acknowledges before
// the next one, so the 31-frame transmit ring never overflows.
TEST(PcLinkConnection, PcThatVanishesMidStreamLeavesTheHubServing) {
    constexpr int BATCH = 10;
    constexpr int VANISHING_PCS = 10;
    hubtest::HubRig rig;
    rig.conf.verbose = false;
    rig.start();

    size_t sent = 0;
    auto inject_batch = [&](uint8_t first) {
        for (int i = 0; i < BATCH; ++i) rig.can.inject(exam_param(static_cast<uint8_t>(first + i)));
        sent += BATCH;
    };
    auto all_acknowledged = [&] { return rig.can.wait_for_frames(sent, 10s); };
    // No PC yet: acknowledged all the same.
    inject_batch(0);
    ASSERT_TRUE(all_acknowledged());

    for (int n = 1; n <= VANISHING_PCS; ++n) {
        RawPc vanishing;
        ASSERT_TRUE(vanishing.connect(rig.port, 10s)) << "PC " << n;
        ASSERT_TRUE(vanishing.read_record(5s)) << "PC " << n;  // served: its first watchdog
        inject_batch(static_cast<uint8_t>(n * BATCH));
        vanishing.reset();
        ASSERT_TRUE(all_acknowledged()) << "PC " << n << (rig.hub.running() ? "" : ": the hub has ended");
    }
    EXPECT_EQ(count_frames(rig.can.frames(), "287#1602"), sent);
    EXPECT_EQ(rig.can.frame_count(), sent);

    PcClient next;
    ASSERT_TRUE(next.connect(rig.port, 10s));
    auto connected = Clock::now();
    auto first = next.read_record(3s);
    auto first_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - connected).count();
    ASSERT_TRUE(first);
    EXPECT_GE(first_ms, 50);
    EXPECT_LE(first_ms, 1000);
    // A watchdog that carries the last exam parameters streamed.
    HubRecord last = fresh_record();
    last = with_bytes(last, 6, {0x04, 0x03});
    last = with_bytes(last, 13, {static_cast<uint8_t>(sent - 1), 2, 5, 6, 7});
    EXPECT_EQ(hex(*first), hex(sealed(last)));

    inject_batch(200);
    ASSERT_TRUE(all_acknowledged());
    for (int i = 0; i < BATCH; ++i) {
        auto record = next.wait_record_type(5, 5s);
        ASSERT_TRUE(record) << "exam parameters " << i;
        EXPECT_EQ((*record)[13], 200 + i);
    }
    EXPECT_TRUE(checksums_ok(next.records()));
    EXPECT_TRUE(rig.hub.running());
}

// Devices that hang up, stop taking frames, or answer late, never or not at
// first; after each the hub serves as before, with the same footprint.
#include "faults.h"

using namespace std::chrono_literals;
using namespace faults;

namespace {

// PC status 1 resets the sensor-ready line, 0 sets it; `meanwhile` happens
// once the PC is served, just before it reports.
testing::AssertionResult sensor_line_follows_the_pc(HubRig &rig, const std::function<void()> &meanwhile = [] {}) {
    const size_t accepted = accepts(rig.hub), dropped = drops(rig.hub);
    PcClient pc;
    if (!pc.connect(rig.port, WAIT) || !wait_pc_counts(rig.hub, accepted + 1, dropped))
        return testing::AssertionFailure() << "no PC connection";
    meanwhile();
    for (uint16_t status : {1, 0})
        if (!pc.send({.Event = 0, .PCStatus = status}) ||
            !rig.gpio.wait_for_bits([status](uint32_t b) { return ((b & 0x40) == 0) == (status == 1); }, WAIT))
            return testing::AssertionFailure() << "status " << status << " did not drive the sensor-ready line";
    pc.close();
    return wait_pc_counts(rig.hub, accepted + 1, dropped + 1);
}

}  // namespace

// Gone and not listening: reported once, retried once a second without
// spinning; back: connected again and handling frames as before (twice).
TEST(DeviceFaults, CanControllerHangsUpAndTheHubConnectsAgain) {
    HubRig rig;
    const auto before = start_serving(rig, 0x31);
    ASSERT_TRUE(before);
    for (uint8_t round = 1; round <= 2; ++round) {
        const size_t err_from = rig.hub.err().line_count();
        ASSERT_TRUE(rig.can.set_listening(false));
        rig.can.hang_up();
        ASSERT_TRUE(rig.hub.wait_stderr_line("hub: CAN device reports a hang-up; retrying every second", WAIT, err_from));
        EXPECT_LT(rig.quiet_cpu_percent(rig.hub.err(), 3s).value_or(100), 20.0) << "while the CAN device is away";
        ASSERT_TRUE(rig.can.set_listening(true));
        ASSERT_TRUE(rig.can.wait_for_connections(1u + round, WAIT));
        ASSERT_TRUE(serves_normally(rig, static_cast<uint8_t>(0x31 + round)));
        ASSERT_TRUE(rig.hub.wait_stderr_line("hub: CAN device is back", WAIT, err_from));
    }
    EXPECT_TRUE(footprint_back(*before, rig.hub.pid()));
}

TEST(DeviceFaults, GpioDeviceHangsUpAndTheSensorLineWorksAgain) {
    HubRig rig;
    const auto before = start_serving(rig, 0x41);
    ASSERT_TRUE(before);
    ASSERT_TRUE(sensor_line_follows_the_pc(rig));
    // The first request to meet the hang-up is the sensor-ready line's (the
    // GPIO thread asks once a second): it is made again on the new connection.
    EXPECT_TRUE(sensor_line_follows_the_pc(rig, [&] { rig.gpio.hang_up(); }));
    ASSERT_TRUE(rig.gpio.wait_for_connections(2, WAIT));
    EXPECT_TRUE(serves_normally(rig, 0x42));
    EXPECT_TRUE(footprint_back(*before, rig.hub.pid()));
}

// The device takes nothing: the ring's 31 slots fill and later frames drop
// with an at-sign; taken again, the queued ones arrive in order, then new ones.
TEST(DeviceFaults, StalledCanDeviceDropsWithAnAtSignThenKeepsTheOrder) {
    HubRig rig;
    rig.conf.verbose = false;  // standard output is then the connect line and the at-signs
    rig.conf.poll_time_calibration = 1;  // watchdogs keep coming while stalled
    const auto before = start_serving(rig, 0x51);
    ASSERT_TRUE(before);
    const size_t accepted = accepts(rig.hub);
    PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, WAIT));
    ASSERT_TRUE(wait_pc_counts(rig.hub, accepted + 1, 0));
    const size_t can_from = rig.can.frame_count(), out_from = rig.hub.stdout_text().size();
    auto at_signs = [&] { return rig.hub.stdout_text().substr(out_from); };
    rig.can.stall();
    // Batches of commands, each followed by a date request whose answer
    // shows it handled, until at-signs show, then two batches more.
    unsigned sent = 0;
    for (int after = 0; after < 3; after += at_signs().empty() ? 0 : 1) {
        ASSERT_LT(sent, 1000u) << "no at-sign while the device was stalled";
        for (unsigned end = sent + 50; sent < end; ++sent)
            ASSERT_TRUE(pc.send({.Event = 3, .kV = static_cast<uint8_t>(sent), .mA = static_cast<uint8_t>(sent >> 8)}));
        ASSERT_TRUE(pc.send({.Event = PC_REQ_TIME_START}));
        ASSERT_TRUE(pc.wait_record_type(MSG_TYPE_DATE_TIME, WAIT));
    }
    ASSERT_TRUE(pc.wait_record_type(MSG_TYPE_WATCHDOG, WAIT));
    const size_t dropped = at_signs().size();
    EXPECT_EQ(at_signs(), std::string(dropped, '@'));
    ASSERT_LT(dropped, sent);
    rig.can.resume();
    const size_t kept = sent - dropped;
    ASSERT_TRUE(rig.can.wait_for_frames(can_from + kept, WAIT));
    const std::vector<CanFrame> frames = rig.can.frames();
    ASSERT_EQ(frames.size(), can_from + kept);
    std::vector<unsigned> seqs;
    for (size_t i = can_from; i < frames.size(); ++i) {
        ASSERT_TRUE(frames[i].length == 3 && frames[i].data[0] == 18) << frame_text(frames[i]);
        seqs.push_back(frames[i].data[1] | (frames[i].data[2] << 8));
    }
    // The ring's first 31 are never dropped; what went through keeps its order.
    for (unsigned seq = 0; seq < 31; ++seq) EXPECT_EQ(seqs[seq], seq);
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()) && std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end());
    std::vector<std::string> expected;
    for (unsigned seq = sent; seq < sent + 20; ++seq) {
        ASSERT_TRUE(pc.send({.Event = 3, .kV = static_cast<uint8_t>(seq), .mA = static_cast<uint8_t>(seq >> 8)}));
        expected.push_back(frame_text(frame(0x287, {18, static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8)})));
    }
    ASSERT_TRUE(rig.can.wait_for_frames(can_from + kept + 20, WAIT));
    EXPECT_EQ(rig.frames_from(can_from + kept), expected);
    EXPECT_EQ(at_signs().size(), dropped);
    pc.close();
    ASSERT_TRUE(serves_normally(rig, 0x52));
    EXPECT_TRUE(footprint_back(*before, rig.hub.pid()));
}

TEST(DeviceFaults, GpioDeviceAnswersLateThenNeverThenAgain) {
    HubRig rig;
    const auto before = start_serving(rig, 0x61);
    ASSERT_TRUE(before);
    rig.gpio.set_reply_delay(1500ms);  // after the hub's one-second wait
    ASSERT_TRUE(rig.gpio.wait_for_requests(rig.gpio.request_count() + 2, WAIT));
    ASSERT_TRUE(serves_normally(rig, 0x62));
    rig.gpio.set_reply_delay(0ms);
    rig.gpio.drop_replies(-1);
    ASSERT_TRUE(rig.gpio.wait_for_requests(rig.gpio.request_count() + 2, WAIT));
    ASSERT_TRUE(serves_normally(rig, 0x63));
    rig.gpio.drop_replies(0);
    EXPECT_TRUE(sensor_line_follows_the_pc(rig));
    EXPECT_TRUE(serves_normally(rig, 0x64));
    EXPECT_TRUE(footprint_back(*before, rig.hub.pid()));
}

// A test selection waiting at start is kept by the PC record's start-up
// values, with and without two unanswered status queries first.
TEST(DeviceFaults, TestSelectionWaitingAtStartIsKept) {
    for (int unanswered : {0, 2}) {
        HubRig rig;
        rig.can.drop_replies(unanswered);
        rig.can.inject(frame(0x23F, {1, 2, 3, 4, 5, 6, 1, 2}));
        rig.start();
        ASSERT_TRUE(serving(rig, true)) << unanswered;
        EXPECT_GE(rig.can.status_queries(), 1u + unanswered);
        EXPECT_GE(rig.can.connections(), unanswered ? 2u : 1u);
        ASSERT_TRUE(rig.hub.wait_stdout_line("Init SJA1000 = 0", WAIT));
        EXPECT_TRUE(serves_normally(rig, static_cast<uint8_t>(0x71 + unanswered)));
    }
}

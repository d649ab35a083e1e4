// Devices that misbehave under the real hub: a CAN controller or GPIO device
// that hangs up, a CAN device that stops taking frames, devices that answer
// requests late or never, and both devices missing when the hub starts.
// After each, the hub serves a normal PC and a normal CPU node again with the
// descriptors and about the memory it had before.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "fault_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t SENSOR_READY = 0x40;

// The PC's status drives the sensor-ready line: 1 resets it, 0 sets it.
testing::AssertionResult sensor_line_follows_the_pc(hubtest::HubRig &rig, std::chrono::milliseconds timeout) {
    const size_t accepted = faults::accepts(rig.hub), dropped = faults::drops(rig.hub);
    hubtest::PcClient pc;
    if (!pc.connect(rig.port, timeout)) return testing::AssertionFailure() << "no PC connection";
    if (!pc.send(hubtest::PcRecord{.event = 0, .pc_status = 1}))
        return testing::AssertionFailure() << "the PC cannot send";
    if (!rig.gpio.wait_for_bits([](uint32_t bits) { return (bits & SENSOR_READY) == 0; }, timeout))
        return testing::AssertionFailure() << "status 1 did not reset the sensor-ready line";
    if (!pc.send(hubtest::PcRecord{.event = 0, .pc_status = 0}))
        return testing::AssertionFailure() << "the PC cannot send";
    if (!rig.gpio.wait_for_bits([](uint32_t bits) { return (bits & SENSOR_READY) != 0; }, timeout))
        return testing::AssertionFailure() << "status 0 did not set the sensor-ready line";
    pc.close();
    return faults::wait_pc_counts(rig.hub, accepted + 1, dropped + 1, timeout);
}

std::string kv_ma_frame(unsigned seq) {
    char text[16];
    snprintf(text, sizeof text, "287#12%02X%02X", seq & 0xFF, (seq >> 8) & 0xFF);
    return text;
}

}  // namespace

TEST(DeviceFaults, CanControllerHangsUpAndTheHubConnectsAgain) {
    hubtest::HubRig rig;
    ASSERT_TRUE(faults::start_serving(rig));
    ASSERT_TRUE(faults::serves_normally(rig, 0x31));
    const faults::Footprint before = faults::footprint(rig.hub.pid());

    for (size_t round = 1; round <= 2; ++round) {
        const size_t err_from = rig.hub.err().line_count();
        rig.can.hang_up();
        ASSERT_TRUE(
            rig.hub.wait_stderr_line("hub: CAN device reports a hang-up; retrying every second", 5s, err_from));
        ASSERT_TRUE(rig.can.wait_for_connections(1 + round, 5s));
        ASSERT_TRUE(faults::serves_normally(rig, static_cast<uint8_t>(0x31 + round)));
        ASSERT_TRUE(rig.hub.wait_stderr_line("hub: CAN device is back", 5s, err_from));
    }
    EXPECT_TRUE(faults::footprint_back(before, faults::footprint(rig.hub.pid()), faults::rss_slack_kib()));
}

TEST(DeviceFaults, GpioDeviceHangsUpAndTheSensorLineWorksAgain) {
    hubtest::HubRig rig;
    ASSERT_TRUE(faults::start_serving(rig));
    ASSERT_TRUE(sensor_line_follows_the_pc(rig, 5s));
    ASSERT_TRUE(faults::serves_normally(rig, 0x41));
    const faults::Footprint before = faults::footprint(rig.hub.pid());

    rig.gpio.hang_up();
    ASSERT_TRUE(rig.gpio.wait_for_connections(2, 10s));
    EXPECT_TRUE(sensor_line_follows_the_pc(rig, 10s));
    EXPECT_TRUE(faults::serves_normally(rig, 0x42));
    EXPECT_TRUE(faults::footprint_back(before, faults::footprint(rig.hub.pid()), faults::rss_slack_kib()));
}

TEST(DeviceFaults, StalledCanDeviceDropsWithAnAtSignThenKeepsTheOrder) {
    hubtest::HubRig rig;
    rig.conf.poll_time_calibration = 1;  // a watchdog every second while stalled
    ASSERT_TRUE(faults::start_serving(rig));
    ASSERT_TRUE(faults::serves_normally(rig, 0x51));
    const faults::Footprint before = faults::footprint(rig.hub.pid());

    hubtest::PcClient pc;
    ASSERT_TRUE(pc.connect(rig.port, 5s));
    ASSERT_TRUE(pc.wait_record_type(0, 5s));
    const size_t can_from = rig.can.frame_count();
    const size_t out_line = rig.hub.out().line_count();
    const size_t out_byte = rig.hub.stdout_text().size();

    // The device takes nothing: its socket fills (a few hundred frames), the
    // writer blocks, the ring's 31 slots fill, and every later command is
    // dropped with an at-sign. Commands go in batches, each handled before
    // the next, until at-signs show, then a few batches more.
    rig.can.stall();
    auto is_kv_trace = [](const std::string &l) { return l.rfind("Voltage: ", 0) == 0; };
    auto at_signs = [&] {
        const std::string text = rig.hub.stdout_text().substr(out_byte);
        return static_cast<size_t>(std::count(text.begin(), text.end(), '@'));
    };
    constexpr unsigned kBatch = 10, kLimit = 1000;
    unsigned sent = 0, batches_after = 0;
    while (batches_after < 4) {
        ASSERT_LT(sent, kLimit) << "no at-sign while the device was stalled";
        for (unsigned k = 0; k < kBatch; ++k, ++sent)
            ASSERT_TRUE(pc.send(hubtest::PcRecord{.event = 3, .kv = static_cast<uint8_t>(sent),
                                                  .ma = static_cast<uint8_t>(sent >> 8)}));
        ASSERT_TRUE(faults::wait_lines(rig.hub.out(), is_kv_trace, sent, 10s, out_line));
        if (at_signs() > 0) ++batches_after;
    }
    // The start time comes back once every command before it has been
    // handled, its at-sign included.
    ASSERT_TRUE(pc.send(hubtest::PcRecord{.event = 8}));
    ASSERT_TRUE(pc.wait_record_type(3, 10s));
    const size_t dropped = at_signs();
    ASSERT_GT(dropped, 0u);
    ASSERT_LT(dropped, sent);
    // Meanwhile the PC is still served: watchdogs keep coming.
    ASSERT_TRUE(pc.wait_record_type(0, 5s));

    // Taken again: the frames that were queued arrive in their order, the
    // dropped ones never, and new commands follow them.
    rig.can.resume();
    const size_t kept = sent - dropped;
    ASSERT_TRUE(rig.can.wait_for_frames(can_from + kept, 10s));
    const std::vector<CanFrame> frames = rig.can.frames();
    ASSERT_EQ(frames.size(), can_from + kept);
    std::vector<unsigned> seqs;
    for (size_t i = can_from; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].length, 3) << faults::frame_text(frames[i]);
        ASSERT_EQ(frames[i].data[0], 18) << faults::frame_text(frames[i]);
        seqs.push_back(frames[i].data[1] | (frames[i].data[2] << 8));
    }
    // The ring's first 31 are never dropped; after them, what went through
    // is in the order it was sent.
    for (unsigned seq = 0; seq < 31; ++seq) EXPECT_EQ(seqs[seq], seq);
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()) && std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end());
    constexpr unsigned kAfter = 20;
    for (unsigned seq = sent; seq < sent + kAfter; ++seq)
        ASSERT_TRUE(pc.send(hubtest::PcRecord{.event = 3, .kv = static_cast<uint8_t>(seq),
                                              .ma = static_cast<uint8_t>(seq >> 8)}));
    ASSERT_TRUE(rig.can.wait_for_frames(can_from + kept + kAfter, 10s));
    std::vector<std::string> expected;
    for (unsigned seq = sent; seq < sent + kAfter; ++seq) expected.push_back(kv_ma_frame(seq));
    EXPECT_EQ(faults::frame_texts(rig.can.frames(), can_from + kept), expected);
    printf("stalled CAN device: %u commands, %zu queued and delivered in order, %zu dropped with \"@\"\n", sent,
           kept, dropped);

    pc.close();
    ASSERT_TRUE(faults::serves_normally(rig, 0x52));
    EXPECT_TRUE(faults::footprint_back(before, faults::footprint(rig.hub.pid()), faults::rss_slack_kib()));
}

TEST(DeviceFaults, GpioDeviceAnswersLateThenNeverThenAgain) {
    hubtest::HubRig rig;
    ASSERT_TRUE(faults::start_serving(rig));
    ASSERT_TRUE(sensor_line_follows_the_pc(rig, 5s));
    ASSERT_TRUE(faults::serves_normally(rig, 0x61));
    const faults::Footprint before = faults::footprint(rig.hub.pid());

    // Late: every answer comes after the hub's one-second wait for it.
    size_t requests = rig.gpio.request_count();
    rig.gpio.set_reply_delay(1500ms);
    ASSERT_TRUE(rig.gpio.wait_for_requests(requests + 2, 10s));
    ASSERT_TRUE(faults::serves_normally(rig, 0x62));
    // Never: requests go unanswered.
    requests = rig.gpio.request_count();
    rig.gpio.set_reply_delay(0ms);
    rig.gpio.drop_replies(-1);
    ASSERT_TRUE(rig.gpio.wait_for_requests(requests + 2, 10s));
    ASSERT_TRUE(faults::serves_normally(rig, 0x63));
    // Answering again: the sensor-ready line follows the PC once more.
    rig.gpio.drop_replies(0);
    EXPECT_TRUE(sensor_line_follows_the_pc(rig, 10s));
    EXPECT_TRUE(faults::serves_normally(rig, 0x64));
    EXPECT_TRUE(faults::footprint_back(before, faults::footprint(rig.hub.pid()), faults::rss_slack_kib()));
}

// The CPU node reports its test selection while the hub still waits for the
// controller: the frame is there before any thread runs, and the model name
// and "CPU node not initialised" marker that start-up puts into the PC record
// must not undo it (the normal PC sees Word8 0x0102 in its watchdog).
TEST(DeviceFaults, TestSelectionWaitingAtStartIsKept) {
    hubtest::HubRig rig;
    rig.can.inject(faults::test_selection());
    rig.start();
    ASSERT_TRUE(faults::wait_serving(rig, 10s, true));
    EXPECT_TRUE(faults::serves_normally(rig, 0x71));
}

// The controller leaves its first two status queries unanswered: each times
// out and the device socket is connected again. A frame the CPU node sent
// meanwhile (it came while the hub waited for an answer) is still handled.
TEST(DeviceFaults, CanControllerThatDoesNotAnswerAtFirstStillBringsTheHubUp) {
    hubtest::HubRig rig;
    rig.can.drop_replies(2);
    rig.can.inject(faults::test_selection());
    rig.start();
    ASSERT_TRUE(faults::wait_serving(rig, 15s, true));
    EXPECT_GE(rig.can.status_queries(), 3u);
    EXPECT_GE(rig.can.connections(), 2u);
    ASSERT_TRUE(rig.hub.wait_stdout_line("Init SJA1000 = 0", 5s));
    EXPECT_TRUE(faults::serves_normally(rig, 0x72));
}

TEST(DeviceFaults, BothDevicesMissingAtStartThenThere) {
    hubtest::HubRig rig;
    ASSERT_TRUE(rig.can.set_listening(false));
    ASSERT_TRUE(rig.gpio.set_listening(false));
    rig.start();
    auto cannot_open = [](const char *what) {
        return [what](const std::string &l) { return l.rfind(std::string("hub: cannot open the ") + what, 0) == 0; };
    };
    ASSERT_TRUE(rig.hub.wait_stderr_line(cannot_open("CAN"), 5s));
    ASSERT_TRUE(rig.hub.wait_stderr_line(cannot_open("GPIO"), 5s));
    ASSERT_TRUE(rig.hub.wait_stdout_line("Can fid = -1", 5s));
    ASSERT_TRUE(rig.hub.wait_stdout_line("gpio fid = -1", 5s));
    // The hub waits; once both devices are there it comes up on them.
    ASSERT_TRUE(rig.can.set_listening(true));
    ASSERT_TRUE(rig.gpio.set_listening(true));
    ASSERT_TRUE(faults::wait_serving(rig, 10s));
    auto there_now = [](const char *what) {
        return [what](const std::string &l) {
            return l.rfind(std::string("hub: ") + what + " device ", 0) == 0 && l.find(" is there now") != std::string::npos;
        };
    };
    EXPECT_TRUE(rig.hub.wait_stderr_line(there_now("CAN"), 5s));
    EXPECT_TRUE(rig.hub.wait_stderr_line(there_now("GPIO"), 5s));
    EXPECT_TRUE(faults::serves_normally(rig, 0x81));
    EXPECT_TRUE(sensor_line_follows_the_pc(rig, 5s));
}

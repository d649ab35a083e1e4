// A thousand PC connections in every state a PC application, a network or a
// stranger can leave one in, one after another against the real hub. After
// the storm the hub serves a normal PC and a normal CPU node, holds the same
// descriptors and about the same memory as before, and every CAN frame the
// storm's records asked for reached the bus, in order.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fault_support.h"
#include "hub_rig.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using faults::RawPc;

namespace {

constexpr int kConnections = 1000;

hubtest::PcBytes record(uint16_t event, uint16_t status = 0, uint8_t kv = 0, uint8_t ma = 0) {
    return hubtest::PcRecord{.event = event, .pc_status = status, .kv = kv, .ma = ma}.encode();
}

std::string hex2(unsigned v) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(v >> 4) & 0xF], digits[v & 0xF]};
}

std::string kv_ma_frame(uint8_t kv, uint8_t ma) { return "287#12" + hex2(kv) + hex2(ma); }

}  // namespace

TEST(PcStorm, AThousandConnectionsInEveryStateLeaveTheHubAsItWas) {
    hubtest::HubRig rig;
    ASSERT_TRUE(faults::start_serving(rig));
    ASSERT_TRUE(faults::serves_normally(rig, 0x11));
    const faults::Footprint before = faults::footprint(rig.hub.pid());

    std::mt19937 random(20240605);
    std::vector<std::string> expected;  // what the storm must put on the bus, in order
    const size_t can_from = rig.can.frame_count();
    size_t accepted = faults::accepts(rig.hub);
    size_t dropped = faults::drops(rig.hub);
    int kinds[10] = {};

    for (int i = 0; i < kConnections; ++i) {
        const int kind = i % 10;
        const uint8_t tag = static_cast<uint8_t>(i);
        ++kinds[kind];
        RawPc pc;
        ASSERT_TRUE(pc.connect(rig.port)) << "connection " << i;
        switch (kind) {
        case 0:  // gone at once
            pc.close();
            break;
        case 1:  // reset at once
            pc.reset();
            break;
        case 2: {  // closed in the middle of a kV/mA record: 13 of its 20 bytes
            hubtest::PcBytes r = record(3, 0, tag, 0x55);
            ASSERT_TRUE(pc.send(r.data(), 13));
            pc.close();
            // The short receive is taken as a record; the rest of a new
            // connection's buffer is zero, so mA is 0.
            expected.push_back(kv_ma_frame(tag, 0));
            break;
        }
        case 3: {  // garbage: bytes whose every pair is an unknown event
            std::vector<uint8_t> junk(1 + random() % 60);
            for (uint8_t &b : junk) b = static_cast<uint8_t>(0x0D + random() % (0x100 - 0x0D));
            ASSERT_TRUE(pc.send(junk.data(), junk.size()));
            if (i % 20 < 10) pc.close();
            else pc.reset();
            break;
        }
        case 4: {  // a short record: the keyboard lock in two bytes
            const uint8_t lock[2] = {11, 0};
            ASSERT_TRUE(pc.send(lock, sizeof lock));
            pc.close();
            expected.push_back("287#1701");
            break;
        }
        case 5:  // one whole command, then gone
            ASSERT_TRUE(pc.send(record(3, 0, tag, static_cast<uint8_t>(i >> 8))));
            pc.close();
            expected.push_back(kv_ma_frame(tag, static_cast<uint8_t>(i >> 8)));
            break;
        case 6: {  // vanishes while the CPU node's reports are being sent to it
            ASSERT_TRUE(faults::wait_pc_counts(rig.hub, accepted + 1, dropped, 10s)) << "connection " << i;
            for (int k = 0; k < 5; ++k) rig.can.inject(faults::node_frame(0x21F, {tag}));
            pc.reset();
            // Every report is acknowledged on the bus, sent or not.
            for (int k = 0; k < 5; ++k) expected.push_back("287#1603");
            ASSERT_TRUE(rig.can.wait_for_frames(can_from + expected.size(), 10s)) << "connection " << i;
            break;
        }
        case 7: {  // a second PC waits in the backlog while the first is served
            RawPc second;
            ASSERT_TRUE(second.connect(rig.port));
            ASSERT_TRUE(pc.send(record(3, 0, tag, 0xA0)));
            ASSERT_TRUE(second.send(record(3, 0, tag, 0xB0)));
            pc.close();
            if (i % 100 == 7) {
                // Once the first has gone, the second is served: its watchdog comes.
                uint8_t watchdog[hubtest::HUB_RECORD_SIZE];
                ASSERT_TRUE(second.read_exact(watchdog, sizeof watchdog, 10s)) << "connection " << i;
                EXPECT_EQ(watchdog[0], 0);
            }
            second.close();
            expected.push_back(kv_ma_frame(tag, 0xA0));
            expected.push_back(kv_ma_frame(tag, 0xB0));
            ++accepted;
            ++dropped;
            break;
        }
        case 8:  // asks the hub to close
            ASSERT_TRUE(pc.send(record(1)));
            pc.close();
            break;
        case 9:  // reports a status (the sensor-ready line follows), then leaves
            ASSERT_TRUE(pc.send(record(0, 2)));
            ASSERT_TRUE(pc.send(record(0, 1)));
            pc.close();
            break;
        }
        ++accepted;
        ++dropped;
        ASSERT_TRUE(faults::wait_pc_counts(rig.hub, accepted, dropped, 10s)) << "connection " << i;
    }

    // Every frame the storm asked for is on the bus, in order, and nothing else.
    ASSERT_TRUE(rig.can.wait_for_frames(can_from + expected.size(), 10s));
    EXPECT_EQ(faults::frame_texts(rig.can.frames(), can_from), expected);
    EXPECT_EQ(rig.can.frame_count(), can_from + expected.size());
    // The last PC left with status 1: its disconnect set the line again.
    EXPECT_TRUE(rig.gpio.wait_for_bits([](uint32_t bits) { return (bits & 0x40) != 0; }, 5s));
    EXPECT_TRUE(rig.hub.running());

    ASSERT_TRUE(faults::serves_normally(rig, 0x22));
    const faults::Footprint after = faults::footprint(rig.hub.pid());
    EXPECT_TRUE(faults::footprint_back(before, after, faults::rss_slack_kib()));
    printf("%d PC connections survived (%d closed at once, %d reset, %d closed mid-record, %d garbage, "
           "%d short records, %d whole commands, %d gone during reports, %d with a second PC in the backlog, "
           "%d close requests, %d status reports); %s\n",
           kConnections + kinds[7], kinds[0], kinds[1], kinds[2], kinds[3], kinds[4], kinds[5], kinds[6],
           kinds[7], kinds[8], kinds[9], faults::footprint_back(before, after, faults::rss_slack_kib()).message());
    RecordProperty("connections", std::to_string(kConnections + kinds[7]));
}

// A PC that stays connected and answers its watchdog but reads nothing: the
// hub's records pile up in the connection until it takes no more (some
// megabytes on loopback). The CPU node must still be answered all the while,
// the PC that does not read is dropped, and the next PC is served.
TEST(PcStorm, PcThatStopsReadingDoesNotStopTheBus) {
    hubtest::HubRig rig;
    rig.conf.verbose = false;  // the CPU node's traffic is the point, not its traces
    ASSERT_TRUE(faults::start_serving(rig));
    ASSERT_TRUE(faults::serves_normally(rig, 0x13));
    const faults::Footprint before = faults::footprint(rig.hub.pid());

    const size_t accepted = faults::accepts(rig.hub), dropped = faults::drops(rig.hub);
    RawPc stuck;
    ASSERT_TRUE(stuck.connect(rig.port, 4096));
    ASSERT_TRUE(faults::wait_pc_counts(rig.hub, accepted + 1, dropped, 10s));
    // Batches of CPU node messages: 24 display clears (two records each to
    // the PC, no acknowledgement) and an exam status (one record and its
    // acknowledgement, which shows the batch handled). 100 000 records are
    // far more than a loopback connection holds.
    constexpr int kRecords = 100000, kClears = 24, kPerBatch = 2 * kClears + 1;
    const size_t can_from = rig.can.frame_count();
    size_t acks = 0;
    bool dropped_stuck = false;
    for (int records = 0; records < kRecords; records += kPerBatch) {
        // It answers the watchdog all the while, until the hub lets it go.
        if (!dropped_stuck) (void)stuck.send(record(0));
        for (int k = 0; k < kClears; ++k) rig.can.inject(faults::node_frame(0x227, {1}));
        rig.can.inject(faults::node_frame(0x21F, {0x5A}));
        ++acks;
        ASSERT_TRUE(rig.can.wait_for_frames(can_from + acks, 10s))
            << "the bus got " << rig.can.frame_count() - can_from << " acknowledgements for " << acks
            << " exam status reports (" << records << " records)";
        dropped_stuck = dropped_stuck || faults::drops(rig.hub) > dropped;
    }
    EXPECT_TRUE(dropped_stuck) << "the PC that does not read was never dropped";
    ASSERT_TRUE(faults::wait_pc_counts(rig.hub, accepted + 1, dropped + 1, 10s));
    // A process-data request is answered at once.
    const size_t from = rig.can.frame_count();
    rig.can.inject(faults::node_frame(0x107, {}));
    EXPECT_TRUE(rig.can.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0 && f.length == 5; }, 5s, from));
    stuck.close();
    ASSERT_TRUE(faults::serves_normally(rig, 0x14));
    EXPECT_TRUE(faults::footprint_back(before, faults::footprint(rig.hub.pid()), faults::rss_slack_kib()));
}

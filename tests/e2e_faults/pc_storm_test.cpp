// PCs in every state a connection can be left in; afterwards the hub serves
// as before, same footprint, and every frame asked for reached the bus in order.
#include <random>

#include "faults.h"

using namespace faults;

namespace {

std::string kv_ma(uint8_t kv, uint8_t ma) { return frame_text(frame(0x287, {18, kv, ma})); }

}  // namespace

TEST(PcStorm, AThousandConnectionsInEveryStateLeaveTheHubAsItWas) {
    HubRig rig;
    const auto before = start_serving(rig, 0x11);
    ASSERT_TRUE(before);
    std::mt19937 random(20240605);
    std::vector<std::string> expected;  // what the storm must put on the bus, in order
    const size_t can_from = rig.can.frame_count();
    size_t accepted = accepts(rig.hub), dropped = drops(rig.hub);
    for (int i = 0; i < 1000; ++i) {
        const uint8_t tag = static_cast<uint8_t>(i);
        PcClient pc;
        ASSERT_TRUE(pc.connect(rig.port, WAIT)) << i;
        switch (i % 10) {
        case 0: pc.close(); break;  // gone at once
        case 1: pc.reset(); break;  // reset at once
        case 2: {  // closed in a kV/mA record: the short receive is a record, the rest zero
            uint8_t record[PC_TO_HUB_SIZE];
            pc_to_hub_encode({.Event = 3, .kV = tag, .mA = 0x55}, record);
            ASSERT_TRUE(pc.send_bytes(record, 13));
            expected.push_back(kv_ma(tag, 0));
            break;
        }
        case 3: {  // garbage: every pair of bytes an unknown event; closed or reset
            std::vector<uint8_t> junk(1 + random() % 60);
            for (uint8_t &b : junk) b = static_cast<uint8_t>(0x0D + random() % (0x100 - 0x0D));
            ASSERT_TRUE(pc.send_bytes(junk.data(), junk.size()));
            if (i % 20 >= 10) pc.reset();
            break;
        }
        case 4:  // the keyboard lock in two bytes
            ASSERT_TRUE(pc.send_bytes("\x0b\x00", 2));
            expected.push_back("287#1701");
            break;
        case 5:  // one whole command, then gone
            ASSERT_TRUE(pc.send({.Event = 3, .kV = tag, .mA = static_cast<uint8_t>(i >> 8)}));
            expected.push_back(kv_ma(tag, static_cast<uint8_t>(i >> 8)));
            break;
        case 6:  // vanishes while reports are sent to it; each is acknowledged all the same
            ASSERT_TRUE(wait_pc_counts(rig.hub, accepted + 1, dropped)) << i;
            for (int k = 0; k < 5; ++k) rig.can.inject(frame(0x21F, {tag}));
            pc.reset();
            expected.insert(expected.end(), 5, "287#1603");
            ASSERT_TRUE(rig.can.wait_for_frames(can_from + expected.size(), WAIT)) << i;
            break;
        case 7: {  // a second PC waits in the backlog while the first is served
            PcClient second;
            ASSERT_TRUE(second.connect(rig.port, WAIT));
            ASSERT_TRUE(pc.send({.Event = 3, .kV = tag, .mA = 0xA0}));
            ASSERT_TRUE(second.send({.Event = 3, .kV = tag, .mA = 0xB0}));
            pc.close();
            if (i % 100 == 7) {  // once the first has gone, the second is served
                ASSERT_TRUE(second.wait_record_type(MSG_TYPE_WATCHDOG, WAIT)) << i;
            }
            expected.push_back(kv_ma(tag, 0xA0));
            expected.push_back(kv_ma(tag, 0xB0));
            ++accepted, ++dropped;
            break;
        }
        case 8: ASSERT_TRUE(pc.send({.Event = PC_CLOSE_SOCKET})); break;  // asks the hub to close
        case 9:  // reports a status (the sensor-ready line follows), then leaves
            ASSERT_TRUE(pc.send({.Event = 0, .PCStatus = 2}) && pc.send({.Event = 0, .PCStatus = 1}));
            break;
        }
        pc.close();
        ++accepted, ++dropped;
        ASSERT_TRUE(wait_pc_counts(rig.hub, accepted, dropped)) << i;
    }
    ASSERT_TRUE(rig.can.wait_for_frames(can_from + expected.size(), WAIT));
    EXPECT_EQ(rig.frames_from(can_from), expected);
    // The last PC left with status 1: its disconnect set the line again.
    EXPECT_TRUE(rig.gpio.wait_for_bits([](uint32_t b) { return (b & 0x40) != 0; }, WAIT));
    ASSERT_TRUE(serves_normally(rig, 0x22));
    EXPECT_TRUE(footprint_back(*before, rig.hub.pid()));
}

// A PC that answers its watchdog but reads nothing: the CPU node is answered
// all the while, the PC is dropped, the next one served.
TEST(PcStorm, PcThatStopsReadingDoesNotStopTheBus) {
    HubRig rig;
    rig.conf.verbose = false;
    const auto before = start_serving(rig, 0x13);
    ASSERT_TRUE(before);
    const size_t accepted = accepts(rig.hub), dropped = drops(rig.hub);
    PcClient stuck;
    ASSERT_TRUE(stuck.connect(rig.port, WAIT, 4096));
    ASSERT_TRUE(wait_pc_counts(rig.hub, accepted + 1, dropped));
    // Batches of 24 display clears (two records each, no acknowledgement) and
    // an exam status (a record and its acknowledgement, which shows the batch
    // handled): 100 000 records, far more than a loopback connection holds.
    const size_t can_from = rig.can.frame_count();
    bool let_go = false;
    for (size_t batch = 1; batch <= 100000 / 49; ++batch) {
        if (!let_go) (void)stuck.send({.Event = PC_WATCHDOG});
        for (int k = 0; k < 24; ++k) rig.can.inject(frame(0x227, {1}));
        rig.can.inject(frame(0x21F, {0x5A}));
        ASSERT_TRUE(rig.can.wait_for_frames(can_from + batch, WAIT)) << "batch " << batch;
        let_go = let_go || drops(rig.hub) > dropped;
    }
    EXPECT_TRUE(let_go) << "the PC that does not read was never dropped";
    const size_t from = rig.can.frame_count();
    rig.can.inject(frame(0x107));
    EXPECT_TRUE(rig.can.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0 && f.length == 5; }, WAIT, from));
    stuck.close();
    ASSERT_TRUE(serves_normally(rig, 0x14));
    EXPECT_TRUE(footprint_back(*before, rig.hub.pid()));
}

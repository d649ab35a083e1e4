// What only SocketCAN has: the kernel frame codec, the meaning of error
// frames, and the rule that tells an interface from a path. No CAN needed.
#include <linux/can/error.h>
#include <unistd.h>

#include "hub_test.h"
#include "platform/can_raw_codec.h"
#include "platform/can_raw_socket.h"
#include "temp_dir.h"

namespace {

can_frame raw_frame(canid_t id, uint8_t dlc, std::initializer_list<uint8_t> data = {}) {
    can_frame raw{};
    raw.can_id = id;
    raw.can_dlc = dlc;
    size_t i = 0;
    for (uint8_t b : data) raw.data[i++] = b;
    return raw;
}

TEST(CanRawCodec, OnlyStandardDataFramesAreTheHubsAndTheRecordIsMaskedAndClamped) {
    struct Case {
        can_frame raw;
        const char *expected;  // cansend notation, or nullptr when refused
    };
    for (const Case &c : {Case{raw_frame(0x217, 3, {1, 2, 3, 4}), "217#010203"},
                          Case{raw_frame(0x217 | CAN_EFF_FLAG, 1, {1}), nullptr},
                          Case{raw_frame(0x107 | CAN_RTR_FLAG, 0), nullptr},
                          Case{raw_frame(CAN_ERR_FLAG | CAN_ERR_BUSOFF, 8), nullptr},
                          Case{raw_frame(0x217, 9), nullptr}}) {
        CanFrame f = make_frame(0x555, {9});
        EXPECT_EQ(can_frame_from_raw(c.raw, &f) == 0, c.expected != nullptr) << std::hex << c.raw.can_id;
        EXPECT_EQ(cansend(f), c.expected ? c.expected : "555#09") << "a refused frame leaves the record alone";
    }
    struct Out {
        CanFrame in;
        canid_t id;
        uint8_t dlc;
    };
    CanFrame long_frame = make_frame(0x7287, {1, 2, 3, 4, 5, 6, 7, 8});
    long_frame.length = 12;
    CanFrame short_frame = make_frame(0x287, {0x16, 0x02, 0xEE});
    short_frame.length = 2;
    for (const Out &o : {Out{long_frame, 0x287, 8}, Out{short_frame, 0x287, 2}}) {
        can_frame raw;
        memset(&raw, 0xAA, sizeof raw);
        can_frame_to_raw(o.in, &raw);
        EXPECT_EQ(raw.can_id, o.id);
        EXPECT_EQ(raw.can_dlc, o.dlc);
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(raw.data[i], i < o.dlc ? o.in.data[i] : 0) << "byte " << i;
    }
}

TEST(CanRawCodec, ErrorFramesNameTheControllersState) {
    struct Case {
        canid_t classes;
        uint8_t controller;  // data[1]
        unsigned events;
    };
    for (const Case &c : {Case{CAN_ERR_BUSOFF, 0, CAN_EVENT_BUS_OFF},
                          Case{CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE, CAN_EVENT_ERROR_PASSIVE},
                          Case{CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_RX_WARNING, CAN_EVENT_ERROR_PASSIVE},
                          Case{CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING, CAN_EVENT_ERROR_WARNING},
                          Case{CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE, CAN_EVENT_ERROR_ACTIVE},
                          Case{CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW, CAN_EVENT_OVERRUN},
                          Case{CAN_ERR_ACK, 0, CAN_EVENT_NO_ACK},
                          Case{CAN_ERR_RESTARTED, 0, CAN_EVENT_RESTARTED},
                          Case{CAN_ERR_LOSTARB, 0, 0}}) {
        EXPECT_EQ(can_error_events(raw_frame(CAN_ERR_FLAG | c.classes, 8, {0, c.controller})), c.events)
            << std::hex << c.classes << " " << int{c.controller};
        EXPECT_EQ(can_error_events(raw_frame(c.classes, 8, {0, c.controller})), 0u) << "not an error frame";
    }
    EXPECT_EQ(can_error_subscription(), CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_ACK | CAN_ERR_RESTARTED);
}

// Names relative to the working directory: the test works in a fresh one.
TEST(CanName, AnInterfaceWhenOneExistsAPathWhenAFileDoesOtherwiseNeitherYet) {
    hubtest::TempDir dir("hub-unit-can-name");
    char *home = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    hubtest::write_text_file("can.sock", "");
    hubtest::write_text_file("lo", "");
    struct Case {
        std::string name;
        CanNameKind kind;
    };
    for (const Case &c : {Case{"lo", CanNameKind::Interface}, Case{"can.sock", CanNameKind::Path},
                          Case{dir.file("can.sock"), CanNameKind::Path}, Case{"./lo", CanNameKind::Path},
                          Case{"no-such-can9", CanNameKind::Neither}, Case{"./vcan0", CanNameKind::Neither},
                          Case{"a-name-too-long-for-an-interface", CanNameKind::Neither}})
        EXPECT_EQ(can_name_kind(c.name.c_str()), c.kind) << c.name;
    EXPECT_FALSE(can_name_fits_interface("a-name-too-long-for-an-interface"));
    hubtest::write_text_file("no-such-can9", "");  // appears later
    EXPECT_EQ(can_name_kind("no-such-can9"), CanNameKind::Path);
    EXPECT_EQ(chdir(home), 0);
    free(home);
}

}  // namespace

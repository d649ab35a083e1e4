// The PC client's command lines: each event by name becomes the 20-byte
// record it sends, byte for byte; session commands and bad lines.
#include <gtest/gtest.h>

#include <array>

#include "pc_commands.h"

using namespace std::chrono_literals;
using namespace pcclient;
using Bytes = std::array<uint8_t, PC_TO_HUB_SIZE>;

namespace {

// The record a command line sends, with PC status 1.
Bytes sent(const char *line) {
    PcCommand c = parse_pc_command(line);
    EXPECT_TRUE(std::holds_alternative<SendEvent>(c)) << line;
    Bytes bytes{};
    if (!std::holds_alternative<SendEvent>(c)) return bytes;
    PcToHub r = std::get<SendEvent>(c).record;
    r.PCStatus = 1;
    pc_to_hub_encode(r, bytes.data());
    return bytes;
}

TEST(PcCommands, EventsByNameWithTheirValues) {
    //                     Event     PCStatus  reserved    Family    Exam      kV    mA    Typ   Siz   Den
    EXPECT_EQ(sent("exam 2 3"), (Bytes{2, 0, 1, 0, 0, 0, 0, 0, 2, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent("family 258 1"), (Bytes{4, 0, 1, 0, 0, 0, 0, 0, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent("kvma 66 10"), (Bytes{3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 66, 10, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent("pattype 2"), (Bytes{5, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent("patsize 3"), (Bytes{6, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0}));
    EXPECT_EQ(sent("patdent 1"), (Bytes{7, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    const std::pair<const char *, uint16_t> plain[] = {
        {"watchdog", 0}, {"close", 1},   {"time-start", 8}, {"set-cal", 9},     {"req-cal", 10},
        {"lock", 11},    {"unlock", 12}, {"debug-on", 100}, {"debug-off", 101}, {"raw 513", 513},
    };
    for (auto [line, event] : plain)
        EXPECT_EQ(sent(line), (Bytes{static_cast<uint8_t>(event & 0xFF), static_cast<uint8_t>(event >> 8), 1}))
            << line;
}

TEST(PcCommands, SessionCommands) {
    EXPECT_EQ(std::get<SetStatus>(parse_pc_command("status 2")).status, 2);
    WaitRecord w = std::get<WaitRecord>(parse_pc_command("wait-record line1"));
    EXPECT_EQ(w.type, MSG_TYPE_LINE1);
    EXPECT_EQ(w.timeout, 5000ms);
    EXPECT_EQ(std::get<WaitRecord>(parse_pc_command("wait-record 5 200")).timeout, 200ms);
    EXPECT_EQ(std::get<WaitUnit>(parse_pc_command("wait-unit")).timeout, 5000ms);
    EXPECT_EQ(std::get<WaitUnit>(parse_pc_command("wait-unit 900")).timeout, 900ms);
    EXPECT_TRUE(std::holds_alternative<Quit>(parse_pc_command("quit")));
}

TEST(PcCommands, RefusesBadLines) {
    for (const char *bad : {"exam 2", "exam 2 3 4", "exam 65536 1", "kvma 256 1", "kvma x 1", "pattype", "lock 1",
                            "raw", "raw 70000", "status", "wait-record LINE9", "wait-record LINE1 soon",
                            "wait-unit x", "hello"})
        EXPECT_TRUE(std::holds_alternative<BadCommand>(parse_pc_command(bad))) << bad;
    EXPECT_EQ(std::get<BadCommand>(parse_pc_command("kvma 1")).why, "kvma takes 2 value(s)");
}

TEST(PcCommands, TextOfASentRecord) {
    PcToHub r{};
    r.Event = PC_CHANGE_KV_MA;
    r.kV = 66;
    r.mA = 10;
    EXPECT_EQ(pc_record_text(r), "-> PC_CHANGE_KV_MA kV 66 mA 10");
    r = {};
    r.Event = PC_CHANGE_FAMILY;
    r.SelFamily = 2;
    r.SelExam = 3;
    EXPECT_EQ(pc_record_text(r), "-> PC_CHANGE_FAMILY SelFamily 2 SelExam 3");
    r = {};
    r.PCStatus = 1;
    EXPECT_EQ(pc_record_text(r), "-> PC_WATCHDOG PCStatus 1");
    r = {};
    r.Event = PC_CHANGE_PAT_DENT;
    r.SelPatDent = 2;
    EXPECT_EQ(pc_record_text(r), "-> PC_CHANGE_PAT_DENT SelPatDent 2");
    r = {};
    r.Event = PC_LOCK_KEYBORD;
    EXPECT_EQ(pc_record_text(r), "-> PC_LOCK_KEYBORD");
    r.Event = 55;
    EXPECT_EQ(pc_record_text(r), "-> event 55");
}

}  // namespace

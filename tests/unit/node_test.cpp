// The node state machines (reports: pc_test.cpp; process data, versions, Ethernet: tests/e2e).
#include "can/can_rx_qsd.h"
#include "hub_cfg.h"
#include "hub_test.h"
#include "pc/hub_to_pc.h"
#include "sm/cpu_sm.h"
#include "sm/display_sm.h"

namespace {

using StateMachine = HubTest;

// Commands 8, 16, 24 and 32 each name the state they lead to; 0, 40, 48 and
// 56 name none. A command moves the node to its state from any other, except
// that PRE_OP never goes back to INIT; a move clears the command and traces
// it, anything else leaves both alone. Eight combinations move.
TEST_F(StateMachine, EveryStateAndCommand) {
    const char *const names[] = {"INIT", "PRE_OP", "OP", "DISABLE"};
    auto named = [](uint8_t command) -> int {
        return command == 8 ? OP : command == 16 ? PRE_OP : command == 24 ? DISABLE : command == 32 ? INIT : -1;
    };
    set_tracing(true, true);
    int moves = 0;
    for (NodeState state : {PRE_OP, OP, DISABLE})
        for (uint8_t command = 0; command <= 56; command += 8) {
            const int to = named(command);
            const bool moves_here = to >= 0 && to != state && !(state == PRE_OP && to == INIT);
            moves += moves_here;
            SCOPED_TRACE(testing::Message() << names[state] << " command " << int{command});
            Cpu_data.state = state;
            Cpu_data.command = command;
            std::string out = stdout_of([&] { EXPECT_EQ(cpu_sm(), moves_here ? 1 : 0); });
            EXPECT_EQ(Cpu_data.state.load(), moves_here ? to : state);
            EXPECT_EQ(Cpu_data.command.load(), moves_here ? 0 : command);
            const std::string line = moves_here ? std::string("CPU: ") + names[state] + " -> " + names[to] + "\n" : "";
            EXPECT_EQ(out, line);
            EXPECT_EQ(syslog_records(), moves_here ? Lines{line} : Lines{});
        }
    EXPECT_EQ(moves, 8);
}

TEST_F(StateMachine, CommandsFromFramesAndACommandPendingInInit) {
    set_tracing(true, false);
    cpu_sm_init();
    canRxQsd(make_frame(0x00F, {}));  // state command 8, arrived before the first pass
    std::string out = stdout_of([] {
        EXPECT_EQ(cpu_sm(), 1);
        EXPECT_EQ(Cpu_data.command.load(), 8) << "still pending after the move to PRE_OP";
        EXPECT_EQ(cpu_sm(), 1);
        EXPECT_EQ(cpu_sm(), 0);
        canRxQsd(make_frame(0x027, {}));  // 32: INIT, then on to PRE_OP
        cpu_sm();
        cpu_sm();
    });
    EXPECT_EQ(out, "CPU: INIT -> PRE_OP\nCPU: PRE_OP -> OP\nCPU: OP -> INIT\nCPU: INIT -> PRE_OP\n");
    EXPECT_EQ(Cpu_data.state.load(), PRE_OP);
    // Bits 3 to 5 only; a frame with none clears what is pending.
    canRxQsd(make_frame(0x05F, {}));
    EXPECT_EQ(Cpu_data.command.load(), 24);
    canRxQsd(make_frame(0x047, {}));
    EXPECT_EQ(Cpu_data.command.load(), 0);
    canRxQsd(make_frame(0x00F, {}));
    canRxQsd(make_frame(0x007, {}));
    EXPECT_EQ(Cpu_data.command.load(), 0);
    // Tracing off: the transition happens silently.
    set_tracing(false, false);
    Cpu_data.command = 8;
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(cpu_sm(), 1); }), "");
    EXPECT_EQ(Cpu_data.state.load(), OP);
}

TEST_F(StateMachine, TheDisplayTwinTracesStartForPreOpToOp) {
    set_tracing(true, true);
    Display_data.command = 8;
    display_sm_init();
    std::string out = stdout_of([] {
        EXPECT_EQ(display_sm(), 1);
        EXPECT_EQ(display_sm(), 1);
    });
    EXPECT_EQ(out, "Display: INIT -> PRE_OP\nDisplay: PRE_OP -> START\n");
    EXPECT_EQ(syslog_records(), (Lines{"Display: INIT -> PRE_OP\n", "Display: PRE_OP -> START\n"}));
    EXPECT_EQ(Display_data.state.load(), OP);
    EXPECT_EQ(Cpu_data.state.load(), PRE_OP) << "the CPU machine is not the display's";
}

using CpuNode = HubTest;

TEST_F(CpuNode, OtherFunctionAndCommandCodesAreIgnored) {
    set_tracing(true, true);
    Cpu_data.command = 16;
    std::string out = stdout_of([] {
        for (uint32_t id : {0x287u, 0x087u, 0x307u, 0x787u, 0x207u, 0x22Fu, 0x24Fu, 0x257u, 0x25Fu, 0x26Fu, 0x277u,
                            0x27Fu})
            canRxQsd(make_frame(id, {1, 2, 3, 4, 5, 6, 7, 8}));
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(syslog_records(), Lines{});
    EXPECT_EQ(sent_frames(), Lines{});
    EXPECT_TRUE(pc_records().empty());
    EXPECT_EQ(Cpu_data.command.load(), 16);
}

}  // namespace

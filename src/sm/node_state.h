// The node state record of the CPU node (and its display twin). `state` is
// read by the CAN reader for the process-data reply and written by the main
// thread; `command` is the state command handed from the CAN reader to the
// main thread. Both are atomics so the hand-over is well defined; every
// access stays a single 8- or 16-bit load or store.
#pragma once

#include <atomic>
#include <cstdint>

enum NodeState : uint16_t { INIT = 0, PRE_OP = 1, OP = 2, DISABLE = 3 };

// State commands (bits 3 to 5 of a state command frame's id).
constexpr uint8_t SM_CMD_TO_OP = 8;
constexpr uint8_t SM_CMD_TO_PRE_OP = 16;
constexpr uint8_t SM_CMD_TO_DISABLE = 24;
constexpr uint8_t SM_CMD_TO_INIT = 32;

struct NodeData {
    std::atomic<uint16_t> state;
    uint16_t status1;  // never changed by the hub, reported as 0
    uint16_t status2;  // likewise
    std::atomic<uint8_t> command;  // pending state command, 0 when none
};

static_assert(sizeof(std::atomic<uint16_t>) == 2 && sizeof(std::atomic<uint8_t>) == 1);

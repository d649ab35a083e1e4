// One pass of a node state machine, shared by the CPU machine and its
// display twin; each brings its own transition table, traces and hooks.
#pragma once

#include <cstddef>

#include "sm/node_state.h"

struct NodeTransition {
    NodeState from;
    uint8_t command;
    NodeState to;
    const char *trace;
};

struct NodeMachine {
    const NodeTransition *table;
    size_t transitions;
    const char *init_trace;  // INIT -> PRE_OP
    int (*wait_init)();
    void (*pre_operating)();
    void (*operating)();
    void (*disable)();
};

// Carries out at most one transition; returns 1 when it did.
int node_sm_pass(NodeData &node, const NodeMachine &machine);

// The CPU node state machine, stepped by the main loop.
#pragma once

#include "sm/node_state.h"

extern NodeData Cpu_data;

void cpu_sm_init();
// One pass: at most one transition. Returns 1 when a transition was made.
int cpu_sm();
int cpu_sm_wait_init();
void cpu_sm_pre_operating();
void cpu_sm_operating();
void cpu_sm_disable();

// Stores a state command for the main thread (CAN reader side), replacing
// whatever is pending, and wakes the main loop.
void cpu_sm_store_command(uint8_t command);

// Blocks the main loop until a command is stored after `seen` was read.
uint32_t cpu_sm_command_seq();
void cpu_sm_wait_command(uint32_t seen);

// The display node's twin of the CPU state machine. Nothing runs it.
#pragma once

#include "sm/node_state.h"

extern NodeData Display_data;

void display_sm_init();
int display_sm();
int display_sm_wait_init();
void display_sm_pre_operating();
void display_sm_operating();
void display_sm_disable();

// Simulator hooks: called in simulator mode, with no effect of their own.
#pragma once

void sim_can_rx_thread();
void sim_pc_command();

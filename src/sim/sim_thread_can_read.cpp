#include "sim/sim_thread_can_read.h"

// Places where a simulator build can hook in; the hub itself needs nothing
// from them.
void sim_can_rx_thread() {}
void sim_pc_command() {}

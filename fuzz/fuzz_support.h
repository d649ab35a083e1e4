// The hub's code in-process for the harnesses: outputs captured or dropped,
// the PC a socket pair, the ring drained onto a pipe, `ifconfig` a stub.
#pragma once

#include <cstdint>

namespace fuzzsupport {

// Once per process, from LLVMFuzzerInitialize.
void init_hub_runtime();
// The hub's run-time records back to their start, with an empty transmit ring.
void reset_hub_state();
void set_switches(bool verbose, bool syslog, bool simulator, bool display);
void set_word8(uint16_t value);  // 6: CPU node not initialised
// Drains what the hub sent, checking it: every frame to the CPU node with at
// most 8 data bytes, every hub-to-PC record with a valid checksum.
void drain_outputs();
// Without a PC, clientSocket is -1 and every send fails.
void set_pc_connected(bool connected);

}  // namespace fuzzsupport

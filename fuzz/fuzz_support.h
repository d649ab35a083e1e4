// What the libFuzzer harnesses share: the hub's own code run in-process with
// its outputs captured, the way its threads run it. Standard output goes to
// /dev/null, system-log records are formatted and dropped, the PC's socket is
// one end of a socket pair, the transmit ring is drained onto a pipe, and
// `ifconfig` is a stub first on PATH (in a temporary directory removed at
// exit), so the CPU node's Ethernet message never runs the real command.
#pragma once

#include <cstdint>

namespace fuzzsupport {

// Once per process, from LLVMFuzzerInitialize.
void init_hub_runtime();
// The hub's run-time records back to their start: the hub-to-PC record as
// the TCP server prepares it, the display lines' acknowledgement bits, the
// start and calibration times, the PC status and watchdog, the CPU node's
// state, an empty transmit ring.
void reset_hub_state();
void set_switches(bool verbose, bool syslog, bool simulator, bool display);
void set_word8(uint16_t value);  // 6: CPU node not initialised
// Drains what the hub sent, checking it: every frame to the CPU node with at
// most 8 data bytes, every hub-to-PC record with a valid checksum.
void drain_outputs();
// Without a PC, clientSocket is -1 and every send fails.
void set_pc_connected(bool connected);

}  // namespace fuzzsupport

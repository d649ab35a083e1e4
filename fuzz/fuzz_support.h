// What the libFuzzer harnesses share: the hub's own code run in-process with
// its outputs captured, the way its threads run it.
//   - standard output goes to /dev/null (the hub's line-buffered stdout, as
//     trace_open sets it up); system-log records are formatted into a buffer
//     by a writer installed with trace_set_syslog_writer;
//   - the PC's socket (clientSocket) is one end of a socket pair whose other
//     end the harness drains after every step;
//   - the CAN transmit ring is drained with can_tx_pass onto a pipe whose
//     read end the harness drains;
//   - `ifconfig` is a stub first on PATH, in a temporary directory removed at
//     exit, so the CPU node's Ethernet message never runs the real command.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzsupport {

// Once per process, from LLVMFuzzerInitialize: semaphores, the transmit
// ring, the PC socket pair, the CAN pipe, stdout to /dev/null, the syslog
// writer, the stub directory on PATH.
void init_hub_runtime();

// Puts the hub's run-time records back to their start: the hub-to-PC record
// as the TCP server prepares it (Word8 = 6, model name), the display lines'
// acknowledgement bits, the start and calibration times, the PC status and
// watchdog counters, the CPU node's state, an empty transmit ring.
void reset_hub_state();

// Sets the tracing switches and the simulator and display switches.
void set_switches(bool verbose, bool syslog, bool simulator, bool display);

// Writes Word8 of the hub-to-PC record (6 = CPU node not initialised).
void set_word8(uint16_t value);

// Drains what the hub sent: the transmit ring through can_tx_pass onto the
// CAN pipe, the pipe itself, and the PC end of the socket pair.
void drain_outputs();

// With false the PC is gone (clientSocket is -1, every send fails), with
// true it is the socket pair's end again.
void set_pc_connected(bool connected);

// Counts since start, for a sanity check that outputs flow.
size_t pc_bytes_seen();
size_t can_frames_seen();

}  // namespace fuzzsupport

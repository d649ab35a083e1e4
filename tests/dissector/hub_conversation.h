// The traffic the dissector is checked on: the real hub against the device
// simulator and a PC client, on loopback, while the stage captures it.
//
// Hub to PC: the first watchdog (checksum 60 45), display line 0 with the
// letters A to P (EF D5), a test selection, display line 1, exam parameters,
// exam status, a second watchdog and two date/time records. PC to hub: every
// event code the hub knows and one it does not (42); two records in one
// write, so one segment carries both, and one record written in two halves
// with TCP_NODELAY, so it spans two segments. It ends with PC_CLOSE_SOCKET,
// whose reserved bytes hold "END." as the capture's end marker.
#pragma once

#include <cstdint>
#include <string>

namespace hubdissector {

// The 20 bytes of the last PC record, looked for in the capture file.
std::string conversation_end_marker();

// Runs it all: waits for the capture to start, runs the hub on `port`, talks
// to it, and waits until the capture holds the end marker. On a failing step
// it prints what failed and the hub's output on standard error and returns
// false.
bool run_conversation(uint16_t port, const std::string &capture_path);

}  // namespace hubdissector

// The floor: the hub's two socket hops with nothing in between. A CAN frame
// from the device socket becomes one 72-byte record on TCP and one
// acknowledge frame back on the device socket; a 20-byte kV/mA record from
// TCP becomes one command frame on the device socket. One thread, the same
// system calls per frame as the hub makes, no locks, no hand-over.
#pragma once

namespace bench {

// Runs until either peer hangs up; returns the process's exit status.
int run_floor_relay(int can_fd, int tcp_fd);

}  // namespace bench

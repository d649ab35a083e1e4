// The floor: the work the hub does per frame with nothing else around it.
// A CAN frame from the device socket becomes one 72-byte record on TCP and
// one acknowledgement frame back on the device socket; a 20-byte kV/mA
// record from TCP becomes one command frame on the device socket. The same
// sockets and system calls per frame as the hub.
//
// One thread: everything in one poll loop, no locks, no hand-over.
// Two threads: like the hub's reader and writer. The reader polls, sends the
// record and queues the frame to write; the writer sleeps on a semaphore
// posted once per queued frame and writes it. The queue is a single-producer
// single-consumer ring of atomics, the least a hand-over can cost.
#pragma once

namespace bench {

// Runs until either peer hangs up; returns the process's exit status.
int run_floor_relay(int can_fd, int tcp_fd, int threads);

}  // namespace bench

// Raw CAN sockets, opened, filtered, named and written in one way for the
// hub's SocketCAN backend and hub-unitsim.
#pragma once

#include <linux/can.h>
#include <sys/types.h>

#include <cstdint>

// What a configured CAN device name stands for. A name is an interface when
// a network interface of that name exists, a path when a file of that name
// exists (an interface wins when both do), and neither while nothing of that
// name exists yet: the caller looks again later and takes whichever appears.
// A name with '/' or too long for an interface can only be a path.
enum class CanNameKind { Interface, Path, Neither };
CanNameKind can_name_kind(const char *name);

// True when `name` could be an interface name: no '/', 1 to 15 characters.
bool can_name_fits_interface(const char *name);

// A raw CAN socket, close-on-exec, that receives only standard 11-bit data
// frames (extended and remote frames are filtered in the kernel), with a
// receive buffer raised for bursts and the kernel's drop count attached to
// each frame read. With `errors`, it also receives the error frames of
// can_error_subscription(). -1 with errno when the kernel has no CAN.
int can_raw_open(bool errors);

// Binds `s` to the interface `ifindex`: 0, or -1 with errno.
int can_raw_bind(int s, int ifindex);

// The interface `s` is bound to; 0 while unbound (never bound, or unbound by
// the kernel when its interface was removed).
int can_raw_bound_ifindex(int s);

// One frame, without blocking: its size, 0 when none waits, -1 with errno.
// `drops` gets the socket's count of frames the kernel dropped for a full
// receive queue, when the kernel attached it.
ssize_t can_raw_receive(int s, struct can_frame *raw, uint32_t *drops);

// The transmit policy: sends one frame now; while the socket's own buffer is
// full it waits for POLLOUT, while the interface's tx queue is full (ENOBUFS,
// where POLLOUT may already say writable) it tries again after 1, 2, 4 ... 32
// ms; until `deadline_ms` (monotonic_ms). 0 when sent; -1 with errno: ENOBUFS
// or EAGAIN when still full at the deadline, any other error of send at once
// (ENETDOWN for an interface that is down).
int can_raw_send(int s, const struct can_frame &raw, int64_t deadline_ms);

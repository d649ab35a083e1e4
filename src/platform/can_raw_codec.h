// The hub's 16-byte frame record against the kernel's struct can_frame of a
// raw CAN socket. Pure functions, no I/O: the hub's SocketCAN backend and
// hub-unitsim share this one mapping.
#pragma once

#include <linux/can.h>

#include "can/can_frame.h"

// Only standard 11-bit data frames are the hub's frames: extended, remote
// and error frames give -1 and leave `out` alone. A length above 8 cannot
// come from the kernel and also gives -1. Otherwise 0.
int can_frame_from_raw(const struct can_frame &in, CanFrame *out);

// The identifier's 11 bits, the length (clamped to 8) and that many data
// bytes; the rest of `out` is zero.
void can_frame_to_raw(const CanFrame &in, struct can_frame *out);

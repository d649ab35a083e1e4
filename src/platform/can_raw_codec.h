// The hub's 16-byte frame record against the kernel's struct can_frame of a
// raw CAN socket, and the meaning of the kernel's error frames. Pure
// functions, no I/O: the hub's SocketCAN backend and hub-unitsim share this
// one mapping. Only `can_dlc` is used for the length: kernel headers before
// 5.11 have no `len`, and newer ones keep `can_dlc` as its other name.
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

// What an error frame says about the controller, as a set of these bits.
enum CanErrorEvent : unsigned {
    CAN_EVENT_BUS_OFF = 1u << 0,
    CAN_EVENT_ERROR_PASSIVE = 1u << 1,
    CAN_EVENT_ERROR_WARNING = 1u << 2,
    CAN_EVENT_ERROR_ACTIVE = 1u << 3,  // back to error-active
    CAN_EVENT_NO_ACK = 1u << 4,
    CAN_EVENT_RESTARTED = 1u << 5,
    CAN_EVENT_OVERRUN = 1u << 6,  // the controller's rx or tx buffer overflowed
};

// The classes of error frame the hub subscribes to (CAN_RAW_ERR_FILTER).
can_err_mask_t can_error_subscription();

// The events of an error frame; 0 for any other frame.
unsigned can_error_events(const struct can_frame &in);

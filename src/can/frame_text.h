// Text notations of a CAN frame, shared by the hub's traces and the tools:
// the trace dump ("Reading. Id: 519, length: 2, data: 0x16 0x02 "), the
// cansend notation ("287#1602") and the candump log line
// ("(1700000000.000123) can0 287#1602"). Pure functions: no I/O.
#pragma once

#include <cstddef>

#include "can/can_frame.h"

// Longest text any of these produce, with its terminator.
constexpr size_t FRAME_TEXT_MAX = 96;

// "<verb>. Id: %ld, length: %d, data: " then "0x%02x " per data byte (at
// most 8), then "\n" when `newline`. Returns the text's length.
size_t frame_trace_text(char *out, size_t size, const char *verb, const CanFrame &f, bool newline);

// "287#1602": three hex digits of the id, '#', two hex digits per data byte.
size_t frame_to_cansend(char *out, size_t size, const CanFrame &f);

// Parses cansend notation: 1 to 3 hex digits of an 11-bit id, '#', up to 8
// data bytes as hex pairs (a '.' between bytes is allowed). Returns 0, or -1
// for anything else.
int frame_from_cansend(const char *text, CanFrame *f);

// "(seconds.micros) <iface> 287#1602".
size_t frame_to_candump(char *out, size_t size, long seconds, long micros, const char *iface, const CanFrame &f);

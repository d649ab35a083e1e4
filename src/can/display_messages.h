// Display text and clear-display messages, which the CPU node and the panel
// send alike; only the acknowledgement asked for differs.
#pragma once

#include <cstdint>

#include "can/can_frame.h"

// data[0]: bit 7 the line, bits 4-5 the segment; data[1..7] the text.
void display_line_message(const CanFrame &frame, uint8_t ack);

// Traces "Clear Display" and blanks both lines, segment by segment.
void display_clear(uint8_t ack);

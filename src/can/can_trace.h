// The CAN frame traces of the writer and the reader: one line on standard
// output, one system-log record per piece.
#pragma once

#include "can/can_frame.h"

// "Writing. Id: ..." without a closing newline: the line stays open.
void can_trace_written(const CanFrame &f);
// "Reading. Id: ..." closed by a newline (and a closing "\n" record).
void can_trace_read(const CanFrame &f);

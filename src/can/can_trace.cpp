#include "can/can_trace.h"

#include "can/frame_text.h"
#include "hub_cfg.h"
#include "platform/trace.h"

namespace {

// The stdout line is written in one piece so that another thread's output
// never lands inside it; the system log gets one record per piece.
void trace_frame(const char *verb, const char *header_fmt, const CanFrame &f, bool close_line) {
    if (Hub_Config.verbose) {
        char text[FRAME_TEXT_MAX];
        frame_trace_text(text, sizeof text, verb, f, close_line);
        trace_stdout_text(text);
    }
    if (Hub_Config.syslog) {
        trace_syslog_piece(header_fmt, static_cast<long>(f.id), static_cast<int>(f.length));
        for (unsigned i = 0; i < can_data_length(f); ++i) trace_syslog_piece("0x%02x ", static_cast<unsigned>(f.data[i]));
        if (close_line) trace_syslog_piece("\n");
    }
}

}  // namespace

void can_trace_written(const CanFrame &f) { trace_frame("Writing", "Writing. Id: %ld, length: %d, data: ", f, false); }

void can_trace_read(const CanFrame &f) { trace_frame("Reading", "Reading. Id: %ld, length: %d, data: ", f, true); }

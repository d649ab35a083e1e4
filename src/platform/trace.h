// Trace output, in one place. A trace goes to standard output when `verbose`
// is set and to the system log (LOG_INFO) when `syslog` is set, standard
// output first, with the same format and arguments. A few lines always go to
// standard output; they have their own entry points here.
#pragma once

#include <cstdarg>

#define HUB_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Opens the system log as "hub", LOG_PID, LOG_USER and makes standard output
// line-buffered, so a pipe or a supervisor sees every line as it is written.
void trace_open();

// printf-style trace: standard output when verbose, system log when syslog.
void trace(const char *fmt, ...) HUB_PRINTF(1, 2);

// A line without arguments: `text` plus a newline on standard output, and the
// text followed by "\n" as one system-log record.
void trace_line(const char *text);

// Standard output whatever `verbose` says; never the system log.
void console(const char *fmt, ...) HUB_PRINTF(1, 2);

// A line without arguments on standard output whatever `verbose` says.
void console_line(const char *text);

// Standard output whatever `verbose` says, and the system log when `syslog`.
void console_and_log(const char *fmt, ...) HUB_PRINTF(1, 2);

// A state of a device the operator acts on: "hub: " and the text as one line
// on standard error, whatever `verbose` says, and the text in the system log
// when `syslog` is set. Callers say each state once, when it changes.
void notice(const char *fmt, ...) HUB_PRINTF(1, 2);

// perror(label) on standard error, and the label to the system log when
// `syslog` is set. The caller keeps errno as the failing call left it.
void report_error(const char *label);

// Pieces of one trace line (the CAN frame dumps): the whole stdout text in one
// write when verbose, and one system-log record per piece when syslog.
void trace_stdout_text(const char *text);
void trace_syslog_piece(const char *fmt, ...) HUB_PRINTF(1, 2);

// Writes text to standard output at once, unbuffered by lines: for the lone
// at-sign of a full transmit ring.
void console_flush_text(const char *text);

// The system-log writer; tests capture records by replacing it.
using SyslogWriter = void (*)(const char *fmt, va_list ap);
void trace_set_syslog_writer(SyslogWriter writer);

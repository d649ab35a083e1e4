#include "platform/trace.h"

#include <syslog.h>

#include <cstdio>

#include "hub_cfg.h"

namespace {

void default_syslog_writer(const char *fmt, va_list ap) { vsyslog(LOG_INFO, fmt, ap); }

SyslogWriter syslog_writer = default_syslog_writer;

void to_syslog(const char *fmt, va_list ap) { syslog_writer(fmt, ap); }

void log_text(const char *fmt, ...) HUB_PRINTF(1, 2);
void log_text(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    to_syslog(fmt, ap);
    va_end(ap);
}

// The one place a formatted trace is written: standard output when
// `to_stdout`, then the system log when `syslog` is set.
void emit(bool to_stdout, const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    if (to_stdout) vprintf(fmt, copy);
    va_end(copy);
    if (Hub_Config.syslog) to_syslog(fmt, ap);
}

}  // namespace

void trace_open() {
    openlog("hub", LOG_PID, LOG_USER);
    // Line-buffered even into a pipe: a supervisor or journald sees each
    // trace as it happens. The buffer is the hub's own, so the first line
    // printed (with tracing off, a PC's connection) takes nothing from the
    // heap once the hub runs.
    static char stdout_buffer[BUFSIZ];
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
}

void trace_set_syslog_writer(SyslogWriter writer) {
    syslog_writer = writer ? writer : default_syslog_writer;
}

void trace(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(Hub_Config.verbose, fmt, ap);
    va_end(ap);
}

void trace_line(const char *text) {
    if (Hub_Config.verbose) puts(text);
    if (Hub_Config.syslog) log_text("%s\n", text);
}

void console(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

void console_line(const char *text) { puts(text); }

void console_and_log(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(true, fmt, ap);
    va_end(ap);
}

void notice(const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fprintf(stderr, "hub: %s\n", text);
    if (Hub_Config.syslog) log_text("%s\n", text);
}

void report_error(const char *label) {
    perror(label);
    if (Hub_Config.syslog) log_text("%s\n", label);
}

void trace_stdout_text(const char *text) {
    if (!Hub_Config.verbose) return;
    fputs(text, stdout);
    // The writer's dump leaves its line open; show it now all the same.
    fflush(stdout);
}

void trace_syslog_piece(const char *fmt, ...) {
    if (!Hub_Config.syslog) return;
    va_list ap;
    va_start(ap, fmt);
    to_syslog(fmt, ap);
    va_end(ap);
}

void console_flush_text(const char *text) {
    fputs(text, stdout);
    fflush(stdout);
}

// SIGINT and SIGTERM as a descriptor to poll, for the tools' event loops.
#pragma once

// Blocks both signals in the calling thread (call it before starting any
// other thread, so they all inherit the mask) and returns a signalfd for
// them, or -1 after saying why on standard error with `program` first.
int open_stop_signal_fd(const char *program);

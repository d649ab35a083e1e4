// Feeding a ScriptQueue: the script file first, then standard input as it
// comes; and the poll timeout that wakes a tool's loop at its next deadline.
#pragma once

#include <optional>
#include <string>

#include "script_queue.h"

namespace tools {

// Reads the whole file into the queue as one source; false, with the
// reason in *error, when it cannot be read.
bool load_script_file(const std::string &path, ScriptQueue &queue, std::string *error);

// One read from `fd` into the queue; false once the input has ended (the
// queue is then told so).
bool feed_script(int fd, ScriptQueue &queue);

// Milliseconds from now to `deadline` for poll(): -1 without one, 0 when it
// has passed, at most a minute.
int poll_timeout(std::optional<TimePoint> deadline);

}  // namespace tools

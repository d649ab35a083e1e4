// Waiting for another process to write a file: inotify on its directory, no polling.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace hubtest {

// The file's complete lines (without '\n'); empty when it does not exist.
std::vector<std::string> read_lines(const std::string &path);
// Until `ready(the file's contents)` holds; whether it does.
bool wait_file(const std::string &path, const std::function<bool(const std::string &)> &ready,
               std::chrono::milliseconds timeout);
// Until the file has at least `count` complete lines.
bool wait_file_lines(const std::string &path, size_t count, std::chrono::milliseconds timeout);

}  // namespace hubtest

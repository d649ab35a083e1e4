// Waits on the capture file that the stage's dumpcap writes, without
// polling in a loop: inotify on its directory wakes each look.
#pragma once

#include <chrono>
#include <string>

namespace hubdissector {

// dumpcap creates the file and writes its header only once the interface is
// open and the capture filter set: from then on every packet is captured.
bool wait_capture_started(const std::string &path, std::chrono::milliseconds timeout);

// Packets sit in the kernel's capture ring and in dumpcap's buffer for a
// while; this waits until `bytes` (a payload sent last) is in the file, and
// with it every packet sent before.
bool wait_capture_holds(const std::string &path, const std::string &bytes, std::chrono::milliseconds timeout);

}  // namespace hubdissector

// A TCP port on 127.0.0.1 that nothing listens on right now: bound with port
// 0, read back, closed. Another process could take it before the hub does;
// the window is short and the kernel hands out ports in rotation.
#pragma once

#include <cstdint>

namespace hubtest {

uint16_t pick_free_port();

}  // namespace hubtest

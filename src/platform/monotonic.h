// CLOCK_MONOTONIC in milliseconds: the clock of every deadline in the device layer.
#pragma once

#include <time.h>

#include <cstdint>

inline int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

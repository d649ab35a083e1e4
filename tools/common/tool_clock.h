// The tools' clock: steady time points and milliseconds.
#pragma once

#include <chrono>

namespace tools {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

}  // namespace tools

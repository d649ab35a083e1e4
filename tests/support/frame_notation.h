// Frames as the tests compare them: cansend notation ("287#1602"), from the
// hub's own formatter.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "can/can_frame.h"

namespace hubtest {

std::string frame_text(const CanFrame &frame);

// The frames from index `from` on, each as frame_text.
std::vector<std::string> frame_texts(const std::vector<CanFrame> &frames, size_t from = 0);

}  // namespace hubtest

// Frames as text in cansend notation ("287#1602"), so a test states whole
// frames byte for byte.
#pragma once

#include <string>
#include <vector>

#include "can/can_frame.h"
#include "can/frame_text.h"

inline std::string cansend(const CanFrame &f) {
    char text[FRAME_TEXT_MAX];
    frame_to_cansend(text, sizeof text, f);
    return text;
}

inline std::vector<std::string> cansend(const std::vector<CanFrame> &frames) {
    std::vector<std::string> texts;
    for (const CanFrame &f : frames) texts.push_back(cansend(f));
    return texts;
}

inline CanFrame frame(const char *text) {
    CanFrame f{};
    frame_from_cansend(text, &f);
    return f;
}

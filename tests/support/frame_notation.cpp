#include "frame_notation.h"

#include "can/frame_text.h"

namespace hubtest {

std::string frame_text(const CanFrame &frame) {
    char text[FRAME_TEXT_MAX];
    frame_to_cansend(text, sizeof text, frame);
    return text;
}

std::vector<std::string> frame_texts(const std::vector<CanFrame> &frames, size_t from) {
    std::vector<std::string> texts;
    for (size_t i = from; i < frames.size(); ++i) texts.push_back(frame_text(frames[i]));
    return texts;
}

}  // namespace hubtest

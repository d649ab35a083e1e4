// The exam status codes (0x21F data[0]) the simulated CPU node reports while
// an exam runs, and when, counted from the start of the exam. 7 and 1 are
// the codes the hub's own debug events use for "x-ray on" and "idle".
#pragma once

#include <chrono>
#include <cstdint>

namespace unitsim {

struct ExamStep {
    std::chrono::milliseconds at;
    uint8_t code;
    const char *name;
};

constexpr uint8_t EXAM_READY = 1;
constexpr uint8_t EXAM_PREP = 2;
constexpr uint8_t EXAM_DONE = 3;
constexpr uint8_t EXAM_EXPOSING = 7;

constexpr ExamStep EXAM_STEPS[] = {
    {std::chrono::milliseconds(0), EXAM_READY, "READY"},
    {std::chrono::milliseconds(300), EXAM_PREP, "PREP"},
    {std::chrono::milliseconds(600), EXAM_EXPOSING, "EXPOSING"},
    {std::chrono::milliseconds(1400), EXAM_DONE, "DONE"},
};
constexpr size_t EXAM_STEP_COUNT = sizeof EXAM_STEPS / sizeof EXAM_STEPS[0];

}  // namespace unitsim

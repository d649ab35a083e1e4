// A date and time as the CPU node reports it and the PC receives it.
#pragma once

#include <cstdint>

struct DateTime {
    uint16_t Year;
    uint8_t Month;
    uint8_t Day;
    uint8_t Hour;
    uint8_t Minute;
    uint8_t Second;
};

// What the simulated unit shows: its selection (exam, exposure, patient,
// keyboard lock), the two 16-character display lines made from it, and the
// CAN frames that carry a line (three segments) and the exam parameters.
// Pure functions: no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "can/can_frame.h"

namespace unitsim {

constexpr size_t DISPLAY_WIDTH = 16;

// Identifiers of the frames the unit sends.
constexpr uint32_t ID_CPU_STATE_TO_OP = 0x00F;   // state command 8: the hub goes to OP
constexpr uint32_t ID_CPU_DISPLAY_LINE = 0x20F;
constexpr uint32_t ID_CPU_EXAM_PARAM = 0x217;
constexpr uint32_t ID_CPU_EXAM_STATUS = 0x21F;
constexpr uint32_t ID_CPU_CLEAR_DISPLAY = 0x227;
constexpr uint32_t ID_CPU_VERSION = 0x237;
constexpr uint32_t ID_CPU_TEST_SEL = 0x23F;
constexpr uint32_t ID_CPU_DATE_TIME = 0x267;
constexpr uint32_t ID_PANEL_DISPLAY_LINE = 0x20B;
constexpr uint32_t ID_PANEL_CLEAR_DISPLAY = 0x223;
constexpr uint32_t ID_PANEL_PDM_REQUEST = 0x103;

// Bits of data[0] of a display-line segment.
constexpr uint8_t SEGMENT_LINE1 = 0x80;
constexpr uint8_t SEGMENT_FIRST = 0x10;   // characters 0-6
constexpr uint8_t SEGMENT_SECOND = 0x20;  // characters 7-13
constexpr uint8_t SEGMENT_LAST = 0x30;    // characters 14-15; completes the line

// The unit's current selection. Patient type 1 adult, 2 child; size 1 small,
// 2 medium, 3 large; dentition 1 to 3.
struct UnitSettings {
    uint8_t family = 1;
    uint8_t exam = 1;
    uint8_t kv = 70;
    uint8_t ma = 8;
    uint8_t pat_type = 1;
    uint8_t pat_size = 2;
    uint8_t pat_dent = 1;
    bool keyboard_locked = false;

    bool operator==(const UnitSettings &) const = default;
};

constexpr uint8_t PAT_TYPE_COUNT = 2;
constexpr uint8_t PAT_SIZE_COUNT = 3;
constexpr uint8_t PAT_DENT_COUNT = 3;

// The next value of a patient setting that runs 1..count (the hub's patient
// commands carry no value: each one steps the setting on).
uint8_t next_in_cycle(uint8_t value, uint8_t count);

// Name of an exam family ("PANO", "CEPH", ...; "F9" for one without a name).
std::string family_name(uint8_t family);

// Line 0: family, exam and the keyboard lock, e.g. "CEPH  EX03  LOCK".
// Line 1: exposure and patient, e.g. "66kV 10mA  A M 1". Always 16 characters.
std::array<std::string, 2> display_lines(const UnitSettings &s);

// The three segment frames of one line from `id` (0x20F: the CPU node,
// 0x20B: the panel): seven, seven and two characters. `text` is cut or
// padded with spaces to 16 characters.
std::array<CanFrame, 3> display_segments(uint32_t id, int line, const std::string &text);

// 0x217: family, exam, kV x 10 high byte first, patient type, size, dentition.
CanFrame exam_param_frame(const UnitSettings &s);

// A frame with `id` and the given data bytes.
CanFrame unit_frame(uint32_t id, std::initializer_list<uint8_t> bytes);

// How hub-unitsim shows the GPIO device: the sensor-ready line (bit 6) and
// the sensor power pair (bits 31 and 30: off is 31 set and 30 clear), and
// the temperature byte in degrees. Pure.
constexpr uint32_t GPIO_SENSOR_READY = 0x40;
constexpr uint32_t GPIO_POWER_OFF_BIT = 1u << 31;
constexpr uint32_t GPIO_POWER_ON_BIT = 1u << 30;

// "gpio 80000040: sensor ready on, sensor power off"
std::string gpio_lines_text(uint32_t bits);
// "25.5 C" for the raw byte 51.
std::string temperature_text(uint8_t raw);

}  // namespace unitsim

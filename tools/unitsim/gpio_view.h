// How hub-unitsim shows the GPIO device: the sensor-ready line (bit 6) and
// the sensor power pair (bits 31 and 30: off is 31 set and 30 clear), and
// the temperature byte in degrees. Pure.
#pragma once

#include <cstdint>
#include <string>

namespace unitsim {

constexpr uint32_t GPIO_SENSOR_READY = 0x40;
constexpr uint32_t GPIO_POWER_OFF_BIT = 1u << 31;
constexpr uint32_t GPIO_POWER_ON_BIT = 1u << 30;

// "gpio 80000040: sensor ready on, sensor power off"
std::string gpio_lines_text(uint32_t bits);
// "25.5 C" for the raw byte 51.
std::string temperature_text(uint8_t raw);

}  // namespace unitsim

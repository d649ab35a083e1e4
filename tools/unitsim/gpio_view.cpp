#include "gpio_view.h"

#include "strprintf.h"

namespace unitsim {

std::string gpio_lines_text(uint32_t bits) {
    const char *power = "unset";
    bool off = bits & GPIO_POWER_OFF_BIT, on = bits & GPIO_POWER_ON_BIT;
    if (off && !on) power = "off";
    if (on && !off) power = "on";
    if (on && off) power = "both bits set";
    return tools::strprintf("gpio %08x: sensor ready %s, sensor power %s", static_cast<unsigned>(bits),
                            (bits & GPIO_SENSOR_READY) ? "on" : "off", power);
}

std::string temperature_text(uint8_t raw) {
    return tools::strprintf("%u%s C", static_cast<unsigned>(raw / 2), (raw & 1) ? ".5" : "");
}

}  // namespace unitsim

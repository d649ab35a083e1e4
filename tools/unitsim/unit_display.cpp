#include "unit_display.h"

#include <cstdio>

#include "strprintf.h"

namespace unitsim {
namespace {

std::string fit(std::string text) {
    text.resize(DISPLAY_WIDTH, ' ');
    return text;
}

char letter(uint8_t value, const char *letters, uint8_t count) {
    return value >= 1 && value <= count ? letters[value - 1] : '?';
}

}  // namespace

uint8_t next_in_cycle(uint8_t value, uint8_t count) {
    return static_cast<uint8_t>(value >= 1 && value < count ? value + 1 : 1);
}

std::string family_name(uint8_t family) {
    static const char *const names[] = {"PANO", "CEPH", "TMJ", "SINUS", "BITE"};
    if (family >= 1 && family <= sizeof names / sizeof names[0]) return names[family - 1];
    return "F" + std::to_string(family);
}

std::array<std::string, 2> display_lines(const UnitSettings &s) {
    char line0[64];
    char line1[64];
    std::snprintf(line0, sizeof line0, "%-5.5s EX%02u  %s", family_name(s.family).c_str(),
                  static_cast<unsigned>(s.exam), s.keyboard_locked ? "LOCK" : "");
    std::snprintf(line1, sizeof line1, "%2ukV %2umA  %c %c %u", static_cast<unsigned>(s.kv),
                  static_cast<unsigned>(s.ma), letter(s.pat_type, "AC", PAT_TYPE_COUNT),
                  letter(s.pat_size, "SML", PAT_SIZE_COUNT), static_cast<unsigned>(s.pat_dent));
    return {fit(line0), fit(line1)};
}

std::array<CanFrame, 3> display_segments(uint32_t id, int line, const std::string &text) {
    std::string t = fit(text);
    uint8_t line_bit = line ? SEGMENT_LINE1 : 0;
    std::array<CanFrame, 3> frames{};
    const uint8_t segments[3] = {SEGMENT_FIRST, SEGMENT_SECOND, SEGMENT_LAST};
    const size_t starts[3] = {0, 7, 14};
    const size_t widths[3] = {7, 7, 2};
    for (size_t i = 0; i < 3; ++i) {
        CanFrame &f = frames[i];
        f.id = id;
        f.data[0] = static_cast<uint8_t>(line_bit | segments[i]);
        for (size_t c = 0; c < widths[i]; ++c) f.data[1 + c] = static_cast<uint8_t>(t[starts[i] + c]);
        f.length = static_cast<uint8_t>(1 + widths[i]);
    }
    return frames;
}

CanFrame exam_param_frame(const UnitSettings &s) {
    unsigned tenths = s.kv * 10u;
    return unit_frame(ID_CPU_EXAM_PARAM, {s.family, s.exam, static_cast<uint8_t>(tenths >> 8),
                                          static_cast<uint8_t>(tenths & 0xFF), s.pat_type, s.pat_size, s.pat_dent});
}

CanFrame unit_frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    CanFrame f{};
    f.id = id;
    for (uint8_t b : bytes) {
        if (f.length == sizeof f.data) break;
        f.data[f.length++] = b;
    }
    return f;
}

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

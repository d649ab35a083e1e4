// The command lines hub-unitsim takes on standard input or from a script:
//   217#0102030405060708   a frame for the hub (cansend notation)
//   exam                   run an exam
//   temperature 25.5       the sensor's temperature in degrees (half steps)
//   fail-gpio N [COUNT]    the next COUNT (1) GPIO requests number N fail
//   wait-hub [MS]          hold the lines after it until the hub is ready
//   panel-line N TEXT      the panel shows TEXT on line N (with --panel)
//   panel-clear            the panel clears its display (with --panel)
//   status                 print the unit's selection and state
//   quit                   end
// ("sleep MS" is taken by the script queue.) Pure parsing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "can/can_frame.h"
#include "script_queue.h"

namespace unitsim {

struct InjectFrame {
    CanFrame frame;
};
struct RunExam {};
struct SetTemperature {
    uint8_t raw;  // half degrees, as the sensor reports it
};
struct FailGpio {
    uint32_t request;
    int count;
};
struct WaitHub {
    tools::Millis timeout;
};
struct PanelLine {
    int line;
    std::string text;
};
struct PanelClear {};
struct ShowStatus {};
struct Quit {};
struct BadCommand {
    std::string why;
};

using UnitCommand = std::variant<InjectFrame, RunExam, SetTemperature, FailGpio, WaitHub, PanelLine, PanelClear,
                                 ShowStatus, Quit, BadCommand>;

UnitCommand parse_unit_command(std::string_view line);

// "25", "25.5" or "25,5" degrees as the sensor's raw byte (51); nullopt
// outside 0 to 127.5 or off the half-degree steps.
std::optional<uint8_t> parse_temperature(std::string_view text);

}  // namespace unitsim

// One text line per device event, as hub-devsim prints them:
//   can  W (1700000000.000123) can0 287#1602     a frame the hub wrote
//   can  F (1700000000.000200) can0 217#10...    a frame sent to the hub
//   gpio I request=7 arg=40 00 00 00             a request from the hub
//   gpio R result=0 arg=40 00 00 00              its answer
// plus "connected", "disconnected", "dropped I ..." and "malformed ...".
// (hub-devsim itself adds "can  listening at PATH" at start.)
#pragma once

#include <string>

#include "devsim/device_server.h"

namespace devsim {

// `device` names the device ("can", "gpio"); `seconds`/`micros` stamp frames.
std::string event_line(const char *device, const DeviceEvent &event, long seconds, long micros);

}  // namespace devsim

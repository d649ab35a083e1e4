// The text of a hub.conf for a test: `key = value` lines, strings in double
// quotes. Fields left unset are not written, so the hub keeps its defaults.
#pragma once

#include <optional>
#include <string>

namespace hubtest {

struct HubConf {
    bool verbose = true, syslog = false, simulator = false, temperature = false, display = false;
    std::string can_device, gpio_device;  // not written when empty
    std::optional<long> server_port, poll_time, poll_time_calibration;
    std::string extra;  // appended as it is (for malformed or unknown entries)

    std::string text() const {
        auto flag = [](const char *key, bool on) { return std::string(key) + (on ? " = true\n" : " = false\n"); };
        auto path = [](const char *key, const std::string &v) { return v.empty() ? "" : std::string(key) + " = \"" + v + "\"\n"; };
        auto number = [](const char *key, std::optional<long> v) { return v ? std::string(key) + " = " + std::to_string(*v) + "\n" : ""; };
        return flag("verbose", verbose) + flag("syslog", syslog) + flag("simulator", simulator) +
               flag("temperature", temperature) + flag("display", display) + path("canDevice", can_device) +
               path("gpioDevice", gpio_device) + number("serverPort", server_port) + number("pollTime", poll_time) +
               number("pollTime_calibration", poll_time_calibration) + extra;
    }
};

}  // namespace hubtest

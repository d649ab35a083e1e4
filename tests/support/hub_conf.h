// The text of a hub.conf for a test, in the configuration file's syntax
// (`key = value` lines, strings in double quotes, booleans true/false).
// Fields left unset are not written, so the hub keeps its defaults.
#pragma once

#include <optional>
#include <string>

namespace hubtest {

struct HubConf {
    bool verbose = true;
    bool syslog = false;
    bool simulator = false;
    bool temperature = false;
    bool display = false;
    std::string can_device;   // not written when empty
    std::string gpio_device;  // not written when empty
    std::optional<long> server_port;
    std::optional<long> poll_time;
    std::optional<long> poll_time_calibration;
    std::string extra;  // appended as it is (for malformed or unknown entries)

    std::string text() const;
};

}  // namespace hubtest

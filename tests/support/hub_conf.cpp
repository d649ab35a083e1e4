#include "hub_conf.h"

namespace hubtest {
namespace {

std::string quoted(const std::string &value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string boolean(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string HubConf::text() const {
    std::string out;
    out += "verbose = " + boolean(verbose) + "\n";
    out += "syslog = " + boolean(syslog) + "\n";
    out += "simulator = " + boolean(simulator) + "\n";
    out += "temperature = " + boolean(temperature) + "\n";
    out += "display = " + boolean(display) + "\n";
    if (!can_device.empty()) out += "canDevice = " + quoted(can_device) + "\n";
    if (!gpio_device.empty()) out += "gpioDevice = " + quoted(gpio_device) + "\n";
    if (server_port) out += "serverPort = " + std::to_string(*server_port) + "\n";
    if (poll_time) out += "pollTime = " + std::to_string(*poll_time) + "\n";
    if (poll_time_calibration) out += "pollTime_calibration = " + std::to_string(*poll_time_calibration) + "\n";
    out += extra;
    return out;
}

}  // namespace hubtest

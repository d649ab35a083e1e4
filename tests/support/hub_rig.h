// The hub on the product's simulated devices (tools/devsim), in its own
// directory and on a free port, and what end-to-end tests do over and over.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "devsim/can_device.h"
#include "devsim/gpio_device.h"
#include "hub_conf.h"
#include "hub_process.h"
#include "pc_client.h"

namespace hubtest {

// The safety net of every wait: only a hung hub ever meets it.
constexpr Millis WAIT{10000};

CanFrame frame(uint32_t id, std::initializer_list<uint8_t> data = {});
// "287#1602", by the hub's own formatter.
std::string frame_text(const CanFrame &frame);
std::vector<std::string> frame_texts(const std::vector<CanFrame> &frames, size_t from = 0);
LineMatch starts_with(std::string prefix);
// Anywhere in the line: after at-signs of a full ring, which carry no newline.
LineMatch contains(std::string text);
// A fresh hub's record (Word8 6, the model name) with `bytes` at their offsets, sealed.
HubRecord hub_record(std::initializer_list<std::pair<size_t, std::vector<uint8_t>>> bytes = {});

class HubRig {
public:
    // conf: verbose on, canDevice/gpioDevice the devices' sockets, serverPort = port.
    explicit HubRig(std::string executable = hub_executable());
    // Ends the hub before the devices go away, so it sees no hang-up.
    ~HubRig();
    void start() { hub.start(conf.text()); }
    // With verbose on: every start-up line is out, so later lines are the test's.
    bool wait_started();
    // Asks for the process data until the reply reports `state`; the last reply, "" if none.
    std::string process_data(uint8_t state);
    std::vector<std::string> frames_from(size_t from) const { return frame_texts(can.frames(), from); }
    // Standard output from line `from` on, without the temperature line, which can fall anywhere.
    std::vector<std::string> lines_from(size_t from) const;
    // The hub's processor use in % of one core over a `window` in which `log` gets no line (else nullopt).
    std::optional<double> quiet_cpu_percent(const OutputLog &log, Millis window);
    // Connects `pc` and has the CPU node report the test selection 01..08, so PC commands are relayed.
    bool connect_selected(PcClient &pc);

    HubProcess hub;  // first: the devices live in its directory
    devsim::CanDevice can;
    devsim::GpioDevice gpio;
    uint16_t port;
    HubConf conf;
};

}  // namespace hubtest

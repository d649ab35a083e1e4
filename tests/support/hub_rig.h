// The hub wired to the product's simulated devices (tools/devsim) in its own
// directory, a free port and a configuration pointing at them, plus what
// end-to-end tests do over and over: frames in cansend notation, the
// process-data reply, a PC connected to a CPU node that has reported in.
//
//   HubRig rig;                 // devices listen, nothing runs yet
//   rig.conf.display = true;    // adjust the configuration and the devices
//   rig.start();                // writes hub.conf, starts the hub
#pragma once

#include <cstdint>
#include <initializer_list>

#include "devsim/can_device.h"
#include "devsim/gpio_device.h"
#include "hub_conf.h"
#include "hub_process.h"
#include "pc_client.h"

namespace hubtest {

// The safety net of every wait: waits end on what they wait for, and only a
// hung hub ever meets this.
constexpr Millis WAIT{10000};

CanFrame frame(uint32_t id, std::initializer_list<uint8_t> data = {});
// "287#1602", by the hub's own formatter.
std::string frame_text(const CanFrame &frame);
std::vector<std::string> frame_texts(const std::vector<CanFrame> &frames, size_t from = 0);
LineMatch starts_with(std::string prefix);
// The hub-to-PC record as a fresh hub holds it (Word8 6, the model name),
// with `bytes` written at their offsets and the checksum sealed.
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
    // Asks for the process data until the reply reports `state` (the main
    // loop traces a transition just before it stores it); the last reply, "" if none.
    std::string process_data(uint8_t state);
    std::vector<std::string> frames_from(size_t from) const { return frame_texts(can.frames(), from); }
    // Standard output from line `from` on, without the GPIO thread's
    // temperature line, which can fall anywhere.
    std::vector<std::string> lines_from(size_t from) const;
    // Processor use of the hub in % of one core over `window`, in which `log`
    // must get no line; nullopt when one came.
    std::optional<double> quiet_cpu_percent(const OutputLog &log, Millis window);
    // Connects `pc`, reads its first watchdog, and has the CPU node report the
    // test selection 01..08 (acknowledged, and reported to the PC), so PC
    // commands are relayed from then on.
    bool connect_selected(PcClient &pc);

    HubProcess hub;  // first: the devices live in its directory
    devsim::CanDevice can;
    devsim::GpioDevice gpio;
    uint16_t port;
    HubConf conf;
};

}  // namespace hubtest

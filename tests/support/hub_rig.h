// Everything an end-to-end test of the hub needs, wired together: the hub
// process with its directory, the simulated CAN and GPIO devices on sockets
// in that directory, a free TCP port, and a configuration pointing at them.
//
//   HubRig rig;                       // devices listen, nothing runs yet
//   rig.conf.syslog = true;           // adjust the configuration...
//   rig.can.set_not_ready(2);         // ...and the devices
//   rig.start();                      // writes hub.conf, starts the hub
//   PcClient pc;
//   ASSERT_TRUE(pc.connect(rig.port, 5s));
#pragma once

#include <cstdint>

#include "devsim/can_device.h"
#include "devsim/gpio_device.h"
#include "hub_conf.h"
#include "hub_process.h"

namespace hubtest {

class HubRig {
public:
    // conf: verbose on, canDevice/gpioDevice = the devices' sockets
    // (<dir>/can.sock, <dir>/gpio.sock), serverPort = port; the rest unset.
    explicit HubRig(std::string executable = hub_executable());
    // Ends the hub before the devices go away, so it sees no hang-up.
    ~HubRig();

    void start() { hub.start(conf.text()); }

    HubProcess hub;  // first: the devices live in its directory
    devsim::CanDevice can;
    devsim::GpioDevice gpio;
    uint16_t port;
    HubConf conf;
};

}  // namespace hubtest

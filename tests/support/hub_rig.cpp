#include "hub_rig.h"

#include "free_port.h"

namespace hubtest {

HubRig::HubRig(std::string executable)
    : hub(std::move(executable)),
      can(hub.path("can.sock")),
      gpio(hub.path("gpio.sock")),
      port(pick_free_port()) {
    conf.can_device = can.path();
    conf.gpio_device = gpio.path();
    conf.server_port = port;
}

HubRig::~HubRig() { hub.stop(); }

}  // namespace hubtest

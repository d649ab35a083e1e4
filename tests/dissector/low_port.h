// A free TCP port below the kernel's ephemeral range. The hub's port is then
// always the lower port of a PC connection, the one Wireshark's TCP dissector
// offers to a port's dissector first, so no dissector registered for the
// PC's ephemeral port can take the records.
#pragma once

#include <cstdint>

namespace hubdissector {

// Nonzero: a port from 20000 to 32767 that binds on every address right now.
uint16_t pick_low_free_port();

}  // namespace hubdissector

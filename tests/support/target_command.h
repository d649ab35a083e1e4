// How a test starts a program: natively, or, in a cross build whose tests
// run under an emulator, a program built for the target through that same
// emulator (the HUB_EMULATOR compile definition, its words separated by
// spaces, e.g. "/usr/bin/qemu-ppc -L /usr/powerpc-linux-gnu").
#pragma once

#include <string>
#include <vector>

namespace hubtest {

// The argument vector that runs `executable`: the emulator's words first
// when there is one and `executable` is an ELF file for the machine this
// test itself was built for; `executable` alone otherwise (scripts, the
// system's programs, a file that does not exist).
std::vector<std::string> target_command(const std::string &executable);

}  // namespace hubtest

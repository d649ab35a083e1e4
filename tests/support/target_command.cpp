#include "target_command.h"

#include <fstream>
#include <sstream>

#ifndef HUB_EMULATOR
#define HUB_EMULATOR ""
#endif

namespace hubtest {
namespace {

// ELF identification (class, byte order) and e_machine: what tells one
// target from another. Empty when `path` is no ELF file.
std::string elf_machine(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    char header[20];
    if (!in.read(header, sizeof header) || std::string(header, 4) != "\x7f" "ELF") return {};
    return std::string(header + 4, 2) + std::string(header + 18, 2);
}

}  // namespace

std::vector<std::string> target_command(const std::string &executable) {
    std::vector<std::string> words;
    std::istringstream emulator(HUB_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
    // Under an emulator, /proc/self/exe is the emulated test program.
    if (words.empty() || elf_machine(executable).empty() || elf_machine(executable) != elf_machine("/proc/self/exe"))
        return {executable};
    words.push_back(executable);
    return words;
}

}  // namespace hubtest

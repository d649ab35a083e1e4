// A capture of hand-made hub-to-PC records on the default port 60000: the
// three checksum examples of docs/pc-protocol.md, each with its documented
// checksum, then the last of them with one byte of text changed on the way
// (its checksum no longer fits), so the dissector has something to flag.
#pragma once

#include <cstdint>
#include <string>

namespace hubdissector {

constexpr uint16_t EXAMPLE_HUB_PORT = 60000;
constexpr uint16_t EXAMPLE_PC_PORT = 61000;

// Frames 1 to 3: checksums 03 00, 60 45 and EF D5, all correct; frame 4:
// checksum EF D5 on a record that sums to 0F D5. Returns success.
bool write_checksum_examples(const std::string &path);

}  // namespace hubdissector

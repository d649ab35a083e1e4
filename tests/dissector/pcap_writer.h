// Writes a small classic pcap file of TCP segments between two ports of
// 127.0.0.1, each in an Ethernet frame as a capture on "lo" shows them: for
// records made by hand, which the hub itself would never send.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace hubdissector {

class PcapWriter {
public:
    // Creates (or truncates) the file and writes its header; throws
    // std::runtime_error when it cannot.
    explicit PcapWriter(const std::string &path);

    // One segment with PSH and ACK set; sequence numbers run on per direction,
    // so consecutive segments of one direction make one stream.
    void add_segment(uint16_t src_port, uint16_t dst_port, const std::vector<uint8_t> &payload);

    // Flushes and reports whether every write succeeded.
    bool finish();

private:
    std::ofstream out_;
    uint32_t packets_ = 0;
    uint32_t seq_up_ = 1000;    // from the lower port to the higher
    uint32_t seq_down_ = 5000;  // from the higher port to the lower
};

}  // namespace hubdissector

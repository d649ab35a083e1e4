#include "checksum_examples.h"

#include <cstring>
#include <vector>

#include "pcap_writer.h"

namespace hubdissector {
namespace {

using Record = std::vector<uint8_t>;

constexpr size_t RECORD_SIZE = 72;

// Written out byte by byte from the documented layout, on purpose not with
// the hub's own code: the checksums below are the documented ones.
Record record(uint8_t msg_type, bool started, const char *line0, uint8_t sum_high, uint8_t sum_low) {
    Record r(RECORD_SIZE, 0);
    r[0] = msg_type;  // MsgType, low byte first
    if (started) {
        r[8] = 6;  // Word8 = 6 until the first test selection
        std::memcpy(&r[62], "  ZELT 4", 8);
    }
    if (line0) std::memcpy(&r[22], line0, std::strlen(line0));
    r[70] = sum_high;  // the checksum alone stands high byte first
    r[71] = sum_low;
    return r;
}

}  // namespace

bool write_checksum_examples(const std::string &path) {
    PcapWriter pcap(path);
    auto send = [&pcap](const Record &r) { pcap.add_segment(EXAMPLE_HUB_PORT, EXAMPLE_PC_PORT, r); };

    send(record(3, false, nullptr, 0x03, 0x00));
    send(record(0, true, nullptr, 0x60, 0x45));
    Record line = record(1, true, "ABCDEFGHIJKLMNOP", 0xEF, 0xD5);
    send(line);
    // 'C' at byte 24 is summed: as 'c' the record sums to 0F D5.
    line[24] = 'c';
    send(line);
    return pcap.finish();
}

}  // namespace hubdissector

#include "pcap_writer.h"

#include <cstring>
#include <stdexcept>

namespace hubdissector {
namespace {

constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;  // microsecond time stamps, host byte order
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr size_t ETH_SIZE = 14, IP_SIZE = 20, TCP_SIZE = 20;
constexpr uint8_t LOOPBACK[4] = {127, 0, 0, 1};

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v & 0xFF);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<uint16_t>(v & 0xFFFF));
}

// The Internet checksum: ones' complement of the ones' complement sum.
uint16_t inet_checksum(const uint8_t *data, size_t size, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

template <typename T>
void write_raw(std::ofstream &out, T value) {
    out.write(reinterpret_cast<const char *>(&value), sizeof value);
}

}  // namespace

PcapWriter::PcapWriter(const std::string &path) : out_(path, std::ios::binary | std::ios::trunc) {
    if (!out_) throw std::runtime_error("cannot write " + path);
    write_raw<uint32_t>(out_, PCAP_MAGIC);
    write_raw<uint16_t>(out_, 2);  // version 2.4
    write_raw<uint16_t>(out_, 4);
    write_raw<int32_t>(out_, 0);      // time zone
    write_raw<uint32_t>(out_, 0);     // time stamp accuracy
    write_raw<uint32_t>(out_, 65535); // snapshot length
    write_raw<uint32_t>(out_, LINKTYPE_ETHERNET);
}

void PcapWriter::add_segment(uint16_t src_port, uint16_t dst_port, const std::vector<uint8_t> &payload) {
    const size_t tcp_length = TCP_SIZE + payload.size();
    std::vector<uint8_t> frame(ETH_SIZE + IP_SIZE + tcp_length, 0);

    // Ethernet: both addresses zero, as on the loopback interface.
    put16(frame, 12, 0x0800);

    std::vector<uint8_t> ip(IP_SIZE, 0);
    ip[0] = 0x45;  // version 4, 5 words
    put16(ip, 2, static_cast<uint16_t>(IP_SIZE + tcp_length));
    put16(ip, 4, static_cast<uint16_t>(packets_));
    put16(ip, 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 6;  // TCP
    std::memcpy(&ip[12], LOOPBACK, 4);
    std::memcpy(&ip[16], LOOPBACK, 4);
    put16(ip, 10, inet_checksum(ip.data(), ip.size()));
    std::memcpy(&frame[ETH_SIZE], ip.data(), IP_SIZE);

    const bool up = src_port < dst_port;
    uint32_t &seq = up ? seq_up_ : seq_down_;
    const uint32_t ack = up ? seq_down_ : seq_up_;
    std::vector<uint8_t> tcp(tcp_length, 0);
    put16(tcp, 0, src_port);
    put16(tcp, 2, dst_port);
    put32(tcp, 4, seq);
    put32(tcp, 8, ack);
    tcp[12] = 5 << 4;  // 5 words, no options
    tcp[13] = 0x18;    // PSH, ACK
    put16(tcp, 14, 65535);
    std::memcpy(&tcp[TCP_SIZE], payload.data(), payload.size());
    // Pseudo-header: both addresses, protocol, TCP length.
    uint32_t pseudo = 2 * (0x7F00 + 0x0001) + 6 + static_cast<uint32_t>(tcp_length);
    put16(tcp, 16, inet_checksum(tcp.data(), tcp.size(), pseudo));
    std::memcpy(&frame[ETH_SIZE + IP_SIZE], tcp.data(), tcp.size());
    seq += static_cast<uint32_t>(payload.size());

    // One frame a second, from the epoch on.
    write_raw<uint32_t>(out_, packets_);
    write_raw<uint32_t>(out_, 0);
    write_raw<uint32_t>(out_, static_cast<uint32_t>(frame.size()));
    write_raw<uint32_t>(out_, static_cast<uint32_t>(frame.size()));
    out_.write(reinterpret_cast<const char *>(frame.data()), static_cast<std::streamsize>(frame.size()));
    ++packets_;
}

bool PcapWriter::finish() {
    out_.flush();
    return static_cast<bool>(out_);
}

}  // namespace hubdissector

// The PC application's side of the hub's TCP link, for tests: connects to
// 127.0.0.1, sends 20-byte PC records and reads the hub's 72-byte records.
// The link has no framing: records are cut from the byte stream by size.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hubtest {

using Millis = std::chrono::milliseconds;

constexpr size_t HUB_RECORD_SIZE = 72;
constexpr size_t PC_RECORD_SIZE = 20;

using HubRecord = std::array<uint8_t, HUB_RECORD_SIZE>;
using PcBytes = std::array<uint8_t, PC_RECORD_SIZE>;

// The PC-to-hub record. encode() lays it out as it travels: the 16-bit
// fields low byte first at 0, 2, 8, 10; the bytes at 12..16; the rest zero.
struct PcRecord {
    uint16_t event = 0;
    uint16_t pc_status = 0;
    uint16_t sel_family = 0;
    uint16_t sel_exam = 0;
    uint8_t kv = 0;
    uint8_t ma = 0;
    uint8_t sel_pat_type = 0;
    uint8_t sel_pat_size = 0;
    uint8_t sel_pat_dent = 0;

    PcBytes encode() const;
};

// Fields of a hub record.
uint16_t record_le16(const HubRecord &record, size_t offset);
uint16_t record_be16(const HubRecord &record, size_t offset);
// The message type: the 16-bit word at 0, low byte first.
inline uint16_t record_type(const HubRecord &record) { return record_le16(record, 0); }
// `width` bytes from `offset` as text, up to the first NUL.
std::string record_text(const HubRecord &record, size_t offset, size_t width);

class PcClient {
public:
    PcClient() = default;
    ~PcClient();
    PcClient(const PcClient &) = delete;
    PcClient &operator=(const PcClient &) = delete;

    // Connects to 127.0.0.1:port, trying again while nothing listens there
    // yet (a short pause between tries), until `timeout`. Returns success.
    bool connect(uint16_t port, Millis timeout);
    bool is_connected() const { return fd_ >= 0; }
    // Closes our end (the hub sees the PC go away).
    void close();

    // The next 72-byte record, however the bytes arrive; nullopt on timeout
    // or when the hub closed the connection first (see peer_closed).
    std::optional<HubRecord> read_record(Millis timeout);
    // Reads records until one satisfies `match` (the others are skipped, but
    // kept in records()); nullopt on timeout or close.
    std::optional<HubRecord> wait_record(const std::function<bool(const HubRecord &)> &match, Millis timeout);
    std::optional<HubRecord> wait_record_type(uint16_t type, Millis timeout) {
        return wait_record([type](const HubRecord &r) { return record_type(r) == type; }, timeout);
    }
    // Every record read so far, in order.
    const std::vector<HubRecord> &records() const { return records_; }

    bool send(const PcRecord &record) { return send_bytes(record.encode().data(), PC_RECORD_SIZE); }
    // Any bytes at all (partial or odd-sized records); false when not all were sent.
    bool send_bytes(const void *data, size_t size, Millis timeout = Millis(2000));

    // Waits until the hub closes the connection (end of stream or reset);
    // bytes that arrive meanwhile stay readable by read_record.
    bool wait_closed(Millis timeout);
    bool peer_closed() const { return peer_closed_; }

private:
    // Reads what is there into buffer_, waiting up to `timeout` for something.
    // False on timeout or close.
    bool receive(Millis timeout);

    int fd_ = -1;
    bool peer_closed_ = false;
    std::vector<uint8_t> buffer_;
    std::vector<HubRecord> records_;
};

}  // namespace hubtest

// One TCP connection to the hub as the PC holds it: the hub's records cut
// from the stream and checked, the PC's records sent whole or as any bytes,
// and the ways a PC leaves (an orderly close or a reset). hub-pcclient's
// session connects through it; the end-to-end tests play the PC with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "record_stream.h"
#include "script_queue.h"

namespace pcclient {

// One connection attempt to host:port with TCP_NODELAY; -1 with *error set.
// receive_buffer > 0 is set as SO_RCVBUF first (a PC whose window stays small).
// A readable stop_fd (a stop signal) ends an attempt that is still waiting for
// the peer, with *error EINTR: an unreachable host takes minutes to give up.
int connect_to_hub(const std::string &host, uint16_t port, int *error, int receive_buffer = 0, int stop_fd = -1);
// The kernel's pick of a TCP port nobody listens on at 127.0.0.1 right now;
// 0 with errno set when there is none.
uint16_t free_port();

class PcLink {
public:
    PcLink() = default;
    ~PcLink() { close(); }
    PcLink(const PcLink &) = delete;
    PcLink &operator=(const PcLink &) = delete;

    // Connects to 127.0.0.1:port, trying again while the hub refuses, up to `wait`.
    bool connect(uint16_t port, tools::Millis wait, int receive_buffer = 0);
    bool is_connected() const { return fd_ >= 0; }
    uint16_t local_port() const;
    bool send(const PcToHub &record);
    // Any bytes: part of a record, several at once, garbage.
    bool send_bytes(const void *data, size_t size);
    // The next 72-byte record; nullopt on timeout or once the hub has closed.
    std::optional<HubRecord> read_record(tools::Millis timeout);
    std::optional<HubRecord> wait_record(const std::function<bool(const HubRecord &)> &match, tools::Millis timeout);
    std::optional<HubRecord> wait_record_type(uint16_t type, tools::Millis timeout);
    // Every record read so far, and how many of them failed the checksum.
    const std::vector<HubRecord> &records() const { return records_; }
    // When each record's last bytes reached this host (the kernel's receive
    // time, so a reader that comes late does not shift it), one per record.
    const std::vector<std::chrono::system_clock::time_point> &receive_times() const { return receive_times_; }
    size_t bad_checksums() const { return bad_checksums_; }
    // Until the hub closes the connection (end of stream or reset); records
    // that arrive meanwhile stay readable.
    bool wait_closed(tools::Millis timeout);
    bool peer_closed() const { return peer_closed_; }
    void close();
    // Leaves with a reset (SO_LINGER 0) instead of an end of stream.
    void reset();

private:
    bool receive(tools::Millis timeout);

    int fd_ = -1;
    bool peer_closed_ = false;
    RecordStream stream_;
    std::vector<HubRecord> records_;
    std::vector<std::chrono::system_clock::time_point> receive_times_;
    std::chrono::system_clock::time_point last_receive_;
    size_t bad_checksums_ = 0;
};

}  // namespace pcclient

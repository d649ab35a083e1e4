// The hub's end of the PC link, played by a test: listens on 127.0.0.1 at a
// port the kernel picks, accepts one PC, sends it records as raw bytes and
// reads the 20-byte records it sends. Every wait polls with a timeout.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tooltest {

using Millis = std::chrono::milliseconds;
using PcBytes = std::array<uint8_t, 20>;

class FakeHub {
public:
    FakeHub();  // listening; throws std::system_error when it cannot
    ~FakeHub();
    FakeHub(const FakeHub &) = delete;
    FakeHub &operator=(const FakeHub &) = delete;

    uint16_t port() const { return port_; }
    bool accept_pc(Millis timeout);
    bool send(const void *bytes, size_t size);
    // The next 20-byte record from the PC; nullopt on timeout or close.
    std::optional<PcBytes> read_record(Millis timeout);
    // Closes the PC's connection.
    void hang_up();

private:
    int listen_fd_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace tooltest

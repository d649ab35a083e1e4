// What the fault tests share: the hub's footprint as the kernel sees it, a
// raw PC connection that can misbehave in ways PcClient does not, waits on
// counted output lines, and the check that the hub still serves a normal PC
// and a normal CPU node after a fault.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "frame_notation.h"
#include "can/can_frame.h"
#include "hub_rig.h"
#include "pc_client.h"

namespace faults {

using Millis = std::chrono::milliseconds;

// --- the hub as the kernel sees it ---
struct Footprint {
    size_t fds = 0;                    // entries of /proc/PID/fd
    long rss_kib = 0;                  // VmRSS of /proc/PID/status
    std::vector<std::string> targets;  // "fd -> what", for a report
};
Footprint footprint(pid_t pid);
std::string to_string(const Footprint &f);
// Same descriptors, and resident memory at most `rss_slack_kib` above `before`.
testing::AssertionResult footprint_back(const Footprint &before, const Footprint &after, long rss_slack_kib);
// The resident-memory slack of these tests: 1 MiB. Under ThreadSanitizer the
// hub's runtime keeps growing history and synchronisation records of its own
// up to a bound (a few MiB), so there it is 8 MiB.
long rss_slack_kib();

// --- CAN frames ---
CanFrame node_frame(uint32_t id, std::initializer_list<uint8_t> data);
// cansend notation of the frame's id and data bytes ("287#1246").
using hubtest::frame_text;
using hubtest::frame_texts;

// --- a raw PC connection on 127.0.0.1 ---
using hubtest::PcBytes;
class RawPc {
public:
    RawPc() = default;
    ~RawPc();
    RawPc(const RawPc &) = delete;
    RawPc &operator=(const RawPc &) = delete;
    // Blocking connect; the handshake completes in the kernel even while the
    // hub is still busy with another PC (the connection waits in its backlog).
    // A receive buffer size other than 0 is set before connecting, so the
    // connection's window stays that small.
    bool connect(uint16_t port, int receive_buffer = 0);
    bool send(const void *data, size_t size);
    bool send(const PcBytes &record) { return send(record.data(), record.size()); }
    // Reads exactly `size` bytes, waiting up to `timeout` in all.
    bool read_exact(void *data, size_t size, Millis timeout);
    // Closes with an orderly end of stream, or with a reset (SO_LINGER 0).
    void close();
    void reset();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// --- counted output ---
// Waits until `count` lines at index >= `from` satisfy `match`.
bool wait_lines(const hubtest::OutputLog &log, const hubtest::LineMatch &match, size_t count, Millis timeout,
                size_t from = 0);
size_t count_lines(const hubtest::OutputLog &log, const hubtest::LineMatch &match, size_t from = 0);
// The hub took a PC ("Server: connect from host ...", on stdout whatever
// verbose says).
bool is_accept_line(const std::string &line);
// The hub let a PC go: "Time Out" or "recv" (perror, stderr), "Watchdog"
// (perror) or "Close Client Socket!" (stdout trace).
bool is_drop_report(const std::string &line);
size_t accepts(const hubtest::HubProcess &hub);
size_t drops(const hubtest::HubProcess &hub);
// Waits until the hub has taken `accepted` PCs and let `dropped` go.
testing::AssertionResult wait_pc_counts(const hubtest::HubProcess &hub, size_t accepted, size_t dropped,
                                        Millis timeout);

// --- the hub up and serving ---
// Starts the hub, waits for its four threads, and has the CPU node report a
// test selection, so PC commands are relayed from then on.
testing::AssertionResult start_serving(hubtest::HubRig &rig, Millis timeout = Millis(10000));
// The same for a hub already started. With `injected`, the test has queued
// the test selection itself (test_selection()) and it is only waited for.
testing::AssertionResult wait_serving(hubtest::HubRig &rig, Millis timeout = Millis(10000), bool injected = false);
// The CPU node's test selection that makes Word8 0x0102.
CanFrame test_selection();

// A normal PC and a normal CPU node, end to end: a new PC gets a watchdog;
// an exam status from the CPU node reaches it as a report (and is
// acknowledged); its kV/mA command reaches the CAN device; a process-data
// request is answered. The PC then leaves and the hub is seen to let it go.
// `tag` makes this round's values its own.
testing::AssertionResult serves_normally(hubtest::HubRig &rig, uint8_t tag, Millis timeout = Millis(10000));

}  // namespace faults

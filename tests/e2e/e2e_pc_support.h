// What the PC-link end-to-end tests share: the hub-to-PC record as the PC
// expects it (checksum recomputed here, independently of the hub), frames
// in cansend notation for exact comparisons, and a bare PC socket for what
// PcClient does not expose (its own port, an abortive close).
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "frame_notation.h"
#include "can/can_frame.h"
#include "devsim/device_server.h"
#include "hub_conf.h"
#include "pc_client.h"

namespace e2e_pc {

using Millis = std::chrono::milliseconds;
using hubtest::HubRecord;

// Event codes the PC sends.
enum : uint16_t {
    EV_WATCHDOG = 0,
    EV_CLOSE_SOCKET = 1,
    EV_CHANGE_EXAM = 2,
    EV_CHANGE_KV_MA = 3,
    EV_CHANGE_FAMILY = 4,
    EV_CHANGE_PAT_TYPE = 5,
    EV_CHANGE_PAT_SIZE = 6,
    EV_CHANGE_PAT_DENT = 7,
    EV_REQ_TIME_START = 8,
    EV_SET_LAST_CAL_TIME = 9,
    EV_REQ_LAST_CAL_TIME = 10,
    EV_LOCK_KEYBORD = 11,
    EV_UNLOCK_KEYBORD = 12,
    EV_DEBUG_RX_ON = 100,
    EV_DEBUG_RX_OFF = 101,
};

// Identifiers of the CPU node's messages used here.
constexpr uint32_t ID_CPU_EXAM_PARAM = 0x217;
constexpr uint32_t ID_CPU_TEST_SEL = 0x23F;
constexpr uint32_t ID_CPU_DATE_TIME = 0x267;

// Watchdog periods short enough for tests that count watchdogs.
void use_one_second_polls(hubtest::HubConf &conf);

// A frame as the CPU node sends it: `id`, the bytes as data[0..].
CanFrame cpu_frame(uint32_t id, std::initializer_list<uint8_t> data);
// The test selection 01 02 .. 08, which ends the hub's "CPU not initialised"
// state (its last word, 0x0708, is not 6).
CanFrame test_selection_1_to_8();

// "287#1103000C00": three hex digits of id, '#', the first `length` data bytes.
using hubtest::frame_text;
using hubtest::frame_texts;

// The hub-to-PC checksum: the nine big-endian words at 0, 8, ..., 64, summed
// to 16 bits.
uint16_t record_checksum(const HubRecord &record);
// Success when bytes 70-71 of every record hold its checksum, high byte first.
::testing::AssertionResult checksums_ok(const std::vector<HubRecord> &records);

// The record a freshly started hub sends: all zero but Word8 = 6 (06 00 at
// 8) and the model "  ZELT 4" at 62; no checksum yet.
HubRecord fresh_record();
// `record` with `bytes` written from `offset` on.
HubRecord with_bytes(HubRecord record, size_t offset, std::initializer_list<uint8_t> bytes);
// `record` with its checksum stored at 70-71.
HubRecord sealed(HubRecord record);
// "00 00 00 00 ..." for readable failure messages.
std::string hex(const HubRecord &record);

// Requests the GPIO device saw that drive output lines (7 set, 8 reset),
// from index `from` on, as "7:40" / "8:40" (number and hex mask).
std::vector<std::string> line_requests(const std::vector<devsim::Request> &requests, size_t from = 0);

// A bare TCP connection to the hub on 127.0.0.1: for the PC's own port and
// for a PC that vanishes with a reset instead of an orderly close.
class RawPc {
public:
    RawPc() = default;
    ~RawPc();
    RawPc(const RawPc &) = delete;
    RawPc &operator=(const RawPc &) = delete;

    // Tries again while nothing listens yet, until `timeout`.
    bool connect(uint16_t port, Millis timeout);
    uint16_t local_port() const;
    std::optional<HubRecord> read_record(Millis timeout);
    // Closes with SO_LINGER 0: the hub's side gets a reset, not an end of stream.
    void reset();

private:
    int fd_ = -1;
    std::vector<uint8_t> buffer_;
};

}  // namespace e2e_pc

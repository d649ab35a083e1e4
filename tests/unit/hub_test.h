// A fixture that resets the hub's global records, and helpers that observe
// what its code sends (frames, PC records, standard output, system log).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "can/can_frame.h"
#include "pc/pc_records.h"

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Record = std::array<uint8_t, HUB_TO_PC_SIZE>;

// A frame whose length is the count of `data`.
inline CanFrame make_frame(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f{id, 0, {}, {}};
    for (uint8_t b : data) f.data[f.length++] = b;
    return f;
}
std::string cansend(const CanFrame &f);  // "287#1603"
// A PC record's fields (those not given are zero), and its 20 wire bytes.
inline PcToHub pc(uint16_t event, uint16_t status = 0, uint16_t family = 0, uint16_t exam = 0, uint8_t kV = 0,
                  uint8_t mA = 0, uint8_t type = 0, uint8_t size = 0, uint8_t dent = 0) {
    return PcToHub{event, status, family, exam, kV, mA, type, size, dent};
}
inline Bytes pc_record(const PcToHub &msg) {
    Bytes rec(PC_TO_HUB_SIZE);
    pc_to_hub_encode(msg, rec.data());
    return rec;
}
inline Bytes slice(const Record &r, size_t from, size_t n) { return Bytes(r.begin() + from, r.begin() + from + n); }

class HubTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    static void set_tracing(bool verbose, bool syslog);
    // Writer passes onto a pipe until the ring is empty: the records written.
    static std::vector<CanFrame> written_records();
    static Lines sent_frames();  // the same in cansend notation
    // Records sent to the PC since the last call; a report has sent before it returns.
    std::vector<Record> pc_records();
    static Lines syslog_records();  // since the last call, one string per record
    template <class F>
    static std::string stdout_of(F &&body) {
        testing::internal::CaptureStdout();
        body();
        return testing::internal::GetCapturedStdout();
    }

private:
    int pc_end_ = -1, hub_end_ = -1;
};

// The acknowledge frames (0x287 [22, item]) that the unit waits for: the hub
// acknowledges a complete display line, exam parameters, an exam status and
// a test selection. The tracker follows the frames that went to the hub the
// way the hub takes them (a line is acknowledged when its segments 16 and 32
// came before segment 48), so frames typed in by hand are awaited too. The
// hub keeps one record of segments per line for both nodes and acknowledges
// the panel's lines to the CPU node as well, when its `display` option is on:
// with follow_panel the tracker counts on that. Pure: frames and the time
// come in.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "can/can_frame.h"

namespace unitsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

// "display line 0", "exam parameters", ...; "item N" for an unknown item.
const char *ack_item_name(uint8_t item);

class AckTracker {
public:
    explicit AckTracker(Millis timeout) : timeout_(timeout) {}

    // The panel's lines and clear requests (0x20B, 0x223) are acknowledged too.
    void follow_panel(bool on) { follow_panel_ = on; }

    // A frame of the CPU node went to the hub at `now`.
    void sent(TimePoint now, const CanFrame &frame);
    // The hub acknowledged `item`: true when it was awaited (the oldest wait
    // for that item ends).
    bool acknowledged(uint8_t item);
    // The items whose wait has run out by `now`, oldest first; no longer awaited.
    std::vector<uint8_t> overdue(TimePoint now);
    std::optional<TimePoint> next_deadline() const;
    size_t awaited() const { return awaited_.size(); }
    // The hub has gone: nothing is awaited, line segments start over.
    void clear();

private:
    struct Awaited {
        uint8_t item;
        TimePoint due;
    };
    void segment(TimePoint now, int line, uint8_t segment);

    Millis timeout_;
    bool follow_panel_ = false;
    std::deque<Awaited> awaited_;
    uint8_t line_segments_[2] = {0, 0};  // bit 1: segment 16 seen, bit 2: segment 32
};

}  // namespace unitsim

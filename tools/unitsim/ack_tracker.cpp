#include "ack_tracker.h"

#include <algorithm>

#include "unit_display.h"

namespace unitsim {

const char *ack_item_name(uint8_t item) {
    switch (item) {
    case ACK_LINE0: return "display line 0";
    case ACK_LINE1: return "display line 1";
    case ACK_EXAM_PARAM: return "exam parameters";
    case ACK_EXAM_STATUS: return "exam status";
    case ACK_TEST_SEL: return "test selection";
    default: return "unknown item";
    }
}

// One segment of a line that asks for acknowledgement.
void AckTracker::segment(TimePoint now, int line, uint8_t segment) {
    uint8_t &seen = line_segments_[line];
    switch (segment) {
    case SEGMENT_FIRST: seen |= 1; break;
    case SEGMENT_SECOND: seen |= 2; break;
    case SEGMENT_LAST:
        // A line with a segment missing goes out unacknowledged, and what
        // was seen of it stays for the next series.
        if (seen == 3) {
            awaited_.push_back({line ? ACK_LINE1 : ACK_LINE0, now + timeout_});
            seen = 0;
        }
        break;
    default: break;
    }
}

void AckTracker::sent(TimePoint now, const CanFrame &frame) {
    auto await = [&](uint8_t item) { awaited_.push_back({item, now + timeout_}); };
    bool panel_frame = frame.id == ID_PANEL_DISPLAY_LINE || frame.id == ID_PANEL_CLEAR_DISPLAY;
    if (panel_frame && !follow_panel_) return;
    switch (frame.id) {
    case ID_CPU_DISPLAY_LINE:
    case ID_PANEL_DISPLAY_LINE:
        segment(now, (frame.data[0] & SEGMENT_LINE1) ? 1 : 0, frame.data[0] & 0x30);
        break;
    case ID_PANEL_CLEAR_DISPLAY:
        // The hub blanks both lines segment by segment, asking for
        // acknowledgement, as if the panel had sent them.
        if (frame.data[0] == 1)
            for (int line = 0; line < 2; ++line)
                for (uint8_t s : {SEGMENT_FIRST, SEGMENT_SECOND, SEGMENT_LAST}) segment(now, line, s);
        break;
    case ID_CPU_EXAM_PARAM: await(ACK_EXAM_PARAM); break;
    case ID_CPU_EXAM_STATUS: await(ACK_EXAM_STATUS); break;
    case ID_CPU_TEST_SEL: await(ACK_TEST_SEL); break;
    default: break;  // the CPU node's clear-display request asks for no acknowledgement
    }
}

bool AckTracker::acknowledged(uint8_t item) {
    auto it = std::find_if(awaited_.begin(), awaited_.end(), [&](const Awaited &a) { return a.item == item; });
    if (it == awaited_.end()) return false;
    awaited_.erase(it);
    return true;
}

std::vector<uint8_t> AckTracker::overdue(TimePoint now) {
    std::vector<uint8_t> items;
    // Waits are added in time order with one timeout, so the oldest come first.
    while (!awaited_.empty() && awaited_.front().due <= now) {
        items.push_back(awaited_.front().item);
        awaited_.pop_front();
    }
    return items;
}

std::optional<TimePoint> AckTracker::next_deadline() const {
    if (awaited_.empty()) return std::nullopt;
    return awaited_.front().due;
}

void AckTracker::clear() {
    awaited_.clear();
    line_segments_[0] = line_segments_[1] = 0;
}

}  // namespace unitsim

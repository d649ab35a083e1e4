#include "unit_model.h"

#include <algorithm>

#include "script_queue.h"
#include "strprintf.h"

namespace unitsim {
namespace {

using tools::strprintf;

// The unit's own version, as it announces it (hardware, firmware).
constexpr uint8_t HW_MAJOR = 1, HW_MINOR = 0, FW_MAJOR = 2, FW_MINOR = 3;

}  // namespace

std::string hub_state_name(unsigned state) {
    switch (state) {
    case 0: return "INIT";
    case 1: return "PRE_OP";
    case 2: return "OP";
    case 3: return "DISABLE";
    default: return "state " + std::to_string(state);
    }
}

UnitModel::UnitModel(UnitSettings settings, ModelTiming timing)
    : settings_(settings), timing_(timing), acks_(timing.ack_timeout) {}

void UnitModel::send(TimePoint now, const CanFrame &frame, ModelOutput &out) {
    out.frame(frame);
    acks_.sent(now, frame);
}

void UnitModel::hub_ready(TimePoint now, const CalendarTime &d, ModelOutput &out) {
    online_ = true;
    hub_state_.reset();
    shown_[0].clear();
    shown_[1].clear();
    out.note(strprintf("hub ready: the unit sends OP, version %u.%u %u.%u, date %04u-%02u-%02u %02u:%02u:%02u, "
                               "test selection",
                               unsigned{HW_MAJOR}, unsigned{HW_MINOR}, unsigned{FW_MAJOR}, unsigned{FW_MINOR},
                               unsigned{d.year}, unsigned{d.month}, unsigned{d.day}, unsigned{d.hour},
                               unsigned{d.minute}, unsigned{d.second}));
    send(now, unit_frame(ID_CPU_STATE_TO_OP, {}), out);
    send(now, unit_frame(ID_CPU_VERSION, {0, HW_MAJOR, HW_MINOR, FW_MAJOR, FW_MINOR}), out);
    send(now,
         unit_frame(ID_CPU_DATE_TIME, {0, static_cast<uint8_t>(d.year >> 8), static_cast<uint8_t>(d.year & 0xFF),
                                       d.month, d.day, d.hour, d.minute, d.second}),
         out);
    // Normal operation, no test running; the last word must not be 6, which
    // the hub reads as "CPU node not initialised".
    send(now, unit_frame(ID_CPU_TEST_SEL, {0, 0, 0, 0, 0, 0, 0, 0}), out);
    show(now, out, true);
    next_pdm_ = now + timing_.pdm_period;
    pdm_answered_ = true;
}

void UnitModel::hub_lost(ModelOutput &out) {
    if (!online_) return;
    online_ = false;
    next_pdm_.reset();
    acks_.clear();
    exam_step_ = EXAM_STEP_COUNT;
    hub_state_.reset();
    out.note("hub gone");
}

// Sends the lines that changed since they were last sent (all of them when
// asked), then the exam parameters.
void UnitModel::show(TimePoint now, ModelOutput &out, bool all_lines) {
    auto lines = display_lines(settings_);
    for (int line = 0; line < 2; ++line) {
        if (!all_lines && lines[line] == shown_[line]) continue;
        out.note(strprintf("display %d \"%s\"", line, lines[line].c_str()));
        for (const CanFrame &f : display_segments(ID_CPU_DISPLAY_LINE, line, lines[line])) send(now, f, out);
        shown_[line] = lines[line];
    }
    out.note(strprintf("exam parameters: %s exam %u, %u kV %u mA, patient %u %u %u",
                               family_name(settings_.family).c_str(), unsigned{settings_.exam},
                               unsigned{settings_.kv}, unsigned{settings_.ma}, unsigned{settings_.pat_type},
                               unsigned{settings_.pat_size}, unsigned{settings_.pat_dent}));
    send(now, exam_param_frame(settings_), out);
}

void UnitModel::frame_from_hub(TimePoint now, const CanFrame &f, ModelOutput &out) {
    if (f.id != ID_HUB_TO_CPU) {
        out.note(strprintf("hub frame %03X ignored: not for the CPU node", static_cast<unsigned>(f.id)));
        return;
    }
    if (f.length == 0) {
        out.note("hub frame without a message code ignored");
        return;
    }
    switch (f.data[0]) {
    case MSG_PDM_REPLY:
    case MSG_VERSION_REPLY:
    case MSG_ACK: reply(f, out); break;
    case MSG_CHANGE_EXAM:
    case MSG_CHANGE_KV_MA:
    case MSG_CHANGE_PAT_TYPE:
    case MSG_CHANGE_PAT_SIZE:
    case MSG_CHANGE_PAT_DENT:
    case MSG_LOCK_KBD: command(now, f, out); break;
    default:
        out.note(strprintf("hub frame with unknown message code %u ignored", unsigned{f.data[0]}));
        break;
    }
}

// Answers to what the unit sent.
void UnitModel::reply(const CanFrame &f, ModelOutput &out) {
    switch (f.data[0]) {
    case MSG_PDM_REPLY: {
        pdm_answered_ = true;
        unsigned state = f.data[1];
        if (!hub_state_ || *hub_state_ != state) out.note("hub state " + hub_state_name(state));
        hub_state_ = state;
        break;
    }
    case MSG_VERSION_REPLY:
        out.note(strprintf("hub version %u.%u %u", unsigned{f.data[1]}, unsigned{f.data[2]},
                                   (unsigned{f.data[3]} << 8) | f.data[4]));
        break;
    case MSG_ACK:
        if (!acks_.acknowledged(f.data[1])) {
            ++problems_;
            out.note(
                strprintf("ack not awaited: %s (22,%u)", ack_item_name(f.data[1]), unsigned{f.data[1]}));
        }
        break;
    default: break;
    }
}

// The hub relays the PC's selections.
void UnitModel::command(TimePoint now, const CanFrame &f, ModelOutput &out) {
    UnitSettings &s = settings_;
    switch (f.data[0]) {
    case MSG_CHANGE_EXAM:
        s.family = f.data[1];  // the hub sends family and exam each followed by a zero byte
        s.exam = f.data[3];
        out.note(strprintf("hub command: exam %s %u", family_name(s.family).c_str(), unsigned{s.exam}));
        break;
    case MSG_CHANGE_KV_MA:
        s.kv = f.data[1];
        s.ma = f.data[2];
        out.note(strprintf("hub command: %u kV %u mA", unsigned{s.kv}, unsigned{s.ma}));
        break;
    // The patient commands carry no value: each steps its setting on.
    case MSG_CHANGE_PAT_TYPE:
        s.pat_type = next_in_cycle(s.pat_type, PAT_TYPE_COUNT);
        out.note(strprintf("hub command: patient type %u", unsigned{s.pat_type}));
        break;
    case MSG_CHANGE_PAT_SIZE:
        s.pat_size = next_in_cycle(s.pat_size, PAT_SIZE_COUNT);
        out.note(strprintf("hub command: patient size %u", unsigned{s.pat_size}));
        break;
    case MSG_CHANGE_PAT_DENT:
        s.pat_dent = next_in_cycle(s.pat_dent, PAT_DENT_COUNT);
        out.note(strprintf("hub command: dentition %u", unsigned{s.pat_dent}));
        break;
    case MSG_LOCK_KBD:
        s.keyboard_locked = f.data[1] != 0;
        out.note(s.keyboard_locked ? "hub command: keyboard locked" : "hub command: keyboard unlocked");
        break;
    default: return;
    }
    show(now, out, false);
}

void UnitModel::frame_injected(TimePoint now, const CanFrame &frame) { acks_.sent(now, frame); }

void UnitModel::start_exam(TimePoint now, ModelOutput &out) {
    if (!online_) {
        out.note("exam not started: no hub");
        return;
    }
    if (exam_running()) {
        out.note("exam already running");
        return;
    }
    out.note("exam started");
    exam_step_ = 0;
    exam_start_ = now;
    tick(now, out);
}

void UnitModel::tick(TimePoint now, ModelOutput &out) {
    while (exam_running() && exam_start_ + EXAM_STEPS[exam_step_].at <= now) {
        const ExamStep &step = EXAM_STEPS[exam_step_++];
        out.note(strprintf("exam status %u %s", unsigned{step.code}, step.name));
        send(now, unit_frame(ID_CPU_EXAM_STATUS, {step.code}), out);
    }
    if (next_pdm_ && *next_pdm_ <= now) {
        if (!pdm_answered_) {
            ++problems_;
            out.note("process-data request not answered");
        }
        send(now, unit_frame(ID_CPU_PDM_REQUEST, {}), out);
        pdm_answered_ = false;
        // The next one on the one-second rhythm, even when this tick came late.
        *next_pdm_ += timing_.pdm_period * ((now - *next_pdm_) / timing_.pdm_period + 1);
    }
    for (uint8_t item : acks_.overdue(now)) {
        ++problems_;
        out.note(strprintf("ack missing: %s (22,%u) not acknowledged within %lld ms", ack_item_name(item),
                                   unsigned{item}, static_cast<long long>(timing_.ack_timeout.count())));
    }
}

std::optional<TimePoint> UnitModel::next_deadline() const {
    std::optional<TimePoint> exam_step;
    if (exam_running()) exam_step = exam_start_ + EXAM_STEPS[exam_step_].at;
    return tools::earliest(tools::earliest(acks_.next_deadline(), next_pdm_), exam_step);
}

std::string UnitModel::status_text() const {
    const UnitSettings &s = settings_;
    std::string hub = hub_state_ ? hub_state_name(*hub_state_) : (online_ ? "ready" : "not connected");
    return strprintf("unit: %s exam %u, %u kV %u mA, patient %u %u %u, keyboard %s, hub %s, exam %s",
                  family_name(s.family).c_str(), unsigned{s.exam}, unsigned{s.kv}, unsigned{s.ma},
                  unsigned{s.pat_type}, unsigned{s.pat_size}, unsigned{s.pat_dent},
                  s.keyboard_locked ? "locked" : "unlocked", hub.c_str(),
                  exam_running() ? EXAM_STEPS[exam_step_ == 0 ? 0 : exam_step_ - 1].name : "idle");
}


// ---- acknowledgements awaited

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

// ---- the panel

void PanelModel::hub_ready(TimePoint now) { next_pdm_ = now + pdm_period_; }

void PanelModel::hub_lost() { next_pdm_.reset(); }

void PanelModel::show_line(int line, const std::string &text, ModelOutput &out) {
    std::string shown = text;
    shown.resize(DISPLAY_WIDTH, ' ');
    out.note(tools::strprintf("panel display %d \"%s\"", line, shown.c_str()));
    for (const CanFrame &f : display_segments(ID_PANEL_DISPLAY_LINE, line, shown)) out.frame(f);
}

void PanelModel::clear_display(ModelOutput &out) {
    out.note("panel display cleared");
    out.frame(unit_frame(ID_PANEL_CLEAR_DISPLAY, {1}));
}

void PanelModel::tick(TimePoint now, ModelOutput &out) {
    if (!next_pdm_ || now < *next_pdm_) return;
    out.frame(unit_frame(ID_PANEL_PDM_REQUEST, {}));
    // The next one on the one-second rhythm, even when this tick came late.
    *next_pdm_ += pdm_period_ * ((now - *next_pdm_) / pdm_period_ + 1);
}

}  // namespace unitsim

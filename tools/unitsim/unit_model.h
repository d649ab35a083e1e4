// The simulated CPU node (node 7) as a behaviour model: frames from the hub
// and the time come in; frames for the hub and notes (one line each: what
// the unit shows or noticed) go out. No I/O, no clock of its own.
//
// Once the hub is ready the unit puts it in OP (0x00F), sends its version
// (0x237), the date and time (0x267) and a test selection (0x23F), shows its
// two display lines (0x20F) and exam parameters (0x217), and from then on
// asks for the hub's process data (0x107) every second. The hub's commands
// (0x287, data[0] 17 exam, 18 kV/mA, 19-21 patient, 23 keyboard lock)
// change the selection; the lines that changed and the exam parameters
// follow. An exam reports its status codes (0x21F) a few hundred ms apart.
// Acknowledgements that do not come, or come unasked, are reported.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ack_tracker.h"
#include "can/can_frame.h"
#include "exam_sequence.h"
#include "unit_display.h"

namespace unitsim {

// The local date and time the unit announces.
struct CalendarTime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

// What one call produced: frames for the hub and notes for the operator,
// each in order, and the order of the two together (for the log).
struct ModelOutput {
    std::vector<CanFrame> frames;
    std::vector<std::string> notes;
    std::vector<bool> frame_next;  // one per item: true a frame, false a note

    void frame(const CanFrame &f) {
        frames.push_back(f);
        frame_next.push_back(true);
    }
    void note(std::string text) {
        notes.push_back(std::move(text));
        frame_next.push_back(false);
    }
};

struct ModelTiming {
    Millis pdm_period{1000};  // process-data requests
    Millis ack_timeout{500};  // longest wait for an acknowledge frame
};

// "INIT", "PRE_OP", "OP", "DISABLE", or "state N".
std::string hub_state_name(unsigned state);

class UnitModel {
public:
    explicit UnitModel(UnitSettings settings = {}, ModelTiming timing = {});

    // The hub has answered the controller status query "ready": the unit
    // introduces itself.
    void hub_ready(TimePoint now, const CalendarTime &date, ModelOutput &out);
    // The hub's connection has ended: no requests, nothing awaited, no exam.
    void hub_lost(ModelOutput &out);
    bool online() const { return online_; }

    // A frame the hub wrote.
    void frame_from_hub(TimePoint now, const CanFrame &frame, ModelOutput &out);
    // A frame someone else sent to the hub (typed in, from a script, or the
    // panel's): its acknowledgement is awaited like the unit's own.
    void frame_injected(TimePoint now, const CanFrame &frame);
    // The hub relays the panel's lines (its `display` option is on), so it
    // acknowledges them to the CPU node too.
    void expect_panel_acks(bool on) { acks_.follow_panel(on); }

    // The operator starts an exam.
    void start_exam(TimePoint now, ModelOutput &out);
    bool exam_running() const { return exam_step_ < EXAM_STEP_COUNT; }

    // Whatever is due by `now`: process-data requests, exam steps, overdue
    // acknowledgements.
    void tick(TimePoint now, ModelOutput &out);
    std::optional<TimePoint> next_deadline() const;

    const UnitSettings &settings() const { return settings_; }
    // The hub's state from its last process-data reply, if any came.
    std::optional<unsigned> hub_state() const { return hub_state_; }
    // Missing or unasked acknowledgements and missing process-data replies so far.
    size_t problems() const { return problems_; }
    // One line: selection, hub state, exam.
    std::string status_text() const;

private:
    void send(TimePoint now, const CanFrame &frame, ModelOutput &out);
    void show(TimePoint now, ModelOutput &out, bool all_lines);
    void command(TimePoint now, const CanFrame &frame, ModelOutput &out);
    void reply(const CanFrame &frame, ModelOutput &out);

    UnitSettings settings_;
    ModelTiming timing_;
    AckTracker acks_;
    bool online_ = false;
    std::string shown_[2];
    std::optional<TimePoint> next_pdm_;
    bool pdm_answered_ = true;
    std::optional<unsigned> hub_state_;
    size_t exam_step_ = EXAM_STEP_COUNT;  // the next step to report
    TimePoint exam_start_{};
    size_t problems_ = 0;
};

}  // namespace unitsim

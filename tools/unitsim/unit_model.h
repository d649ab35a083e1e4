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
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "can/can_frame.h"
#include "unit_display.h"

namespace unitsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

// The exam status codes (0x21F data[0]) the simulated CPU node reports while
// an exam runs, and when, counted from the start of the exam. 7 and 1 are
// the codes the hub's own debug events use for "x-ray on" and "idle".
struct ExamStep {
    Millis at;
    uint8_t code;
    const char *name;
};

constexpr uint8_t EXAM_READY = 1;
constexpr uint8_t EXAM_PREP = 2;
constexpr uint8_t EXAM_DONE = 3;
constexpr uint8_t EXAM_EXPOSING = 7;

constexpr ExamStep EXAM_STEPS[] = {
    {std::chrono::milliseconds(0), EXAM_READY, "READY"},
    {std::chrono::milliseconds(300), EXAM_PREP, "PREP"},
    {std::chrono::milliseconds(600), EXAM_EXPOSING, "EXPOSING"},
    {std::chrono::milliseconds(1400), EXAM_DONE, "DONE"},
};
constexpr size_t EXAM_STEP_COUNT = sizeof EXAM_STEPS / sizeof EXAM_STEPS[0];

// The acknowledge frames (0x287 [22, item]) that the unit waits for: the hub
// acknowledges a complete display line, exam parameters, an exam status and
// a test selection. The tracker follows the frames that went to the hub the
// way the hub takes them (a line is acknowledged when its segments 16 and 32
// came before segment 48), so frames typed in by hand are awaited too. The
// hub keeps one record of segments per line for both nodes and acknowledges
// the panel's lines to the CPU node as well, when its `display` option is on:
// with follow_panel the tracker counts on that. Pure: frames and the time
// come in.

// "display line 0", "exam parameters", ...; "unknown item" for any other.
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

// The operator's display panel (node 3), when the simulated unit plays it
// too: it asks for its process data (0x103) every second, as a node on the
// bus does (the hub leaves that unanswered), and on demand sends text for one
// of its lines (0x20B, three segments) or clears its display (0x223). The
// hub relays those to the PC only when its `display` option is on. Pure.
class PanelModel {
public:
    explicit PanelModel(Millis pdm_period = Millis(1000)) : pdm_period_(pdm_period) {}

    void hub_ready(TimePoint now);
    void hub_lost();
    // `line` 0 or 1; the text is cut or padded to 16 characters.
    void show_line(int line, const std::string &text, ModelOutput &out);
    void clear_display(ModelOutput &out);

    void tick(TimePoint now, ModelOutput &out);
    std::optional<TimePoint> next_deadline() const { return next_pdm_; }

private:
    Millis pdm_period_;
    std::optional<TimePoint> next_pdm_;
};

}  // namespace unitsim

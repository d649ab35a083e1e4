// The command lines of a tool, from a script file and then standard input,
// paced by "sleep MS" lines: a sleep holds the lines after it until its time
// is up. Blank lines and lines starting with '#' are skipped. Pure: bytes and
// the time come in, lines go out; the caller owns the descriptors and the
// poll that waits for the next deadline.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

class ScriptQueue {
public:
    // Bytes of the current source; a line is complete at its '\n'.
    void add_text(std::string_view bytes);
    // The current source has ended: an unfinished last line counts as a line.
    void end_source();
    // No source follows: once the lines are used up, the input is over.
    void end_input();

    // The next command line (trimmed), or nullopt while a sleep holds the
    // queue or no line is there yet. A valid "sleep MS" line is taken here.
    std::optional<std::string> next(TimePoint now);
    // When a sleep that holds the queue ends; nullopt when none does.
    std::optional<TimePoint> deadline() const { return hold_until_; }
    // Every line used, no sleep pending, and no more input to come.
    bool finished() const { return input_ended_ && lines_.empty() && !hold_until_; }

private:
    std::deque<std::string> lines_;
    std::string partial_;
    std::optional<TimePoint> hold_until_;
    bool input_ended_ = false;
};

// "sleep 250" gives 250 ms; nullopt for anything else.
std::optional<Millis> parse_sleep(std::string_view line);

// Splits a command line at spaces and tabs.
std::vector<std::string> split_words(std::string_view line);

// The earlier of two deadlines, either of which may be missing.
inline std::optional<TimePoint> earliest(std::optional<TimePoint> a, std::optional<TimePoint> b) {
    if (!a) return b;
    if (!b) return a;
    return *a < *b ? a : b;
}

// A whole decimal number within [low, high]; nullopt otherwise.
std::optional<long> parse_number(std::string_view text, long low, long high);

}  // namespace tools

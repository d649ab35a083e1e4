// Everything one output stream of a process has written so far, kept as raw
// bytes and as complete lines, with waits that block until a line or a text
// shows up (or the stream ends). Filled by a reader thread; thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hubtest {

using Millis = std::chrono::milliseconds;
using LineMatch = std::function<bool(const std::string &)>;

class OutputLog {
public:
    void append(const char *data, size_t size);
    // The stream has ended: waits stop hoping for more.
    void close();

    bool closed() const;
    // Every byte so far, partial last line included.
    std::string text() const;
    // Complete lines so far, without their '\n'.
    std::vector<std::string> lines() const;
    size_t line_count() const;

    // Index of the first complete line at index >= `from` that equals `line`
    // / satisfies `match`; nullopt on timeout or when the stream ended first.
    std::optional<size_t> wait_line(const std::string &line, Millis timeout, size_t from = 0) const;
    std::optional<size_t> wait_line(const LineMatch &match, Millis timeout, size_t from = 0) const;
    // Waits until the raw text contains `needle` at or after byte `from`
    // (for output that is not a whole line, such as a lone "@").
    bool wait_text(const std::string &needle, Millis timeout, size_t from = 0) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
    std::vector<std::string> lines_;
    size_t line_start_ = 0;  // where the unfinished line begins in text_
    bool closed_ = false;
};

}  // namespace hubtest

// One output stream of a process so far, as text and lines, with waits; thread-safe.
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
    void close();  // the stream has ended
    bool closed() const;
    std::string text() const;  // every byte, an unfinished last line included
    std::vector<std::string> lines() const;  // complete lines, without '\n'
    size_t line_count() const;
    // Index of the first complete line at index >= `from` that equals `line`
    // or satisfies `match`; nullopt on timeout or once the stream has ended.
    std::optional<size_t> wait_line(const std::string &line, Millis timeout, size_t from = 0) const;
    std::optional<size_t> wait_line(const LineMatch &match, Millis timeout, size_t from = 0) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
    std::vector<std::string> lines_;
    size_t line_start_ = 0;  // where the unfinished line begins in text_
    bool closed_ = false;
};

}  // namespace hubtest

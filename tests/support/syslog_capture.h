// The system log while a test runs: /dev/log bound and read by a thread.
// One per machine: tests hold RESOURCE_LOCK syslog, and wait if another run has it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "output_log.h"

namespace hubtest {

class SyslogCapture {
public:
    SyslogCapture();
    ~SyslogCapture();
    // As received: "<14>Dec  5 14:45:00 hub[1234]: text\n".
    std::vector<std::string> records() const;
    // The texts after "]: ", exactly as sent (a final "\n" included).
    std::vector<std::string> messages() const;
    // Index of the first record at index >= `from` whose message satisfies `match`.
    std::optional<size_t> wait_message(const LineMatch &match, Millis timeout, size_t from = 0) const;
    std::optional<size_t> wait_message(const std::string &message, Millis timeout, size_t from = 0) const {
        return wait_message([&](const std::string &m) { return m == message; }, timeout, from);
    }

private:
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> records_;
};

}  // namespace hubtest

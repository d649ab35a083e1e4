// The system log of one hub under test. The hub runs in a private mount
// namespace whose /dev is a folder of the test's own: the usual character
// devices bound in, and at dev/log a socket a thread reads. The machine's
// /dev/log is never touched, and tests that capture can run side by side.
// A private mount namespace takes root (CAP_SYS_ADMIN); without it the
// tests that capture skip themselves.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "hub_process.h"
#include "output_log.h"

namespace hubtest {

class SyslogCapture {
public:
    // Before hub.start(): the hub will run under unshare with the socket as its /dev/log.
    explicit SyslogCapture(HubProcess &hub);
    ~SyslogCapture();
    // Why a capture cannot be made here (not root); empty when it can.
    static std::string unavailable();
    // As received: "<14>Dec  5 14:45:00 hub[1234]: text\n".
    std::vector<std::string> records() const;
    // The texts after "]: ", exactly as sent (a final "\n" included).
    std::vector<std::string> messages() const;
    // Index of the first record at index >= `from` whose message satisfies `match`.
    std::optional<size_t> wait_message(const LineMatch &match, Millis timeout, size_t from = 0) const;
    std::optional<size_t> wait_message(const std::string &message, Millis timeout, size_t from = 0) const {
        return wait_message([&](const std::string &m) { return m == message; }, timeout, from);
    }
    // Sends `text` to the socket as a record of the test's own: once it is
    // read, so is everything sent to the socket before it.
    bool mark(const std::string &text, Millis timeout);

private:
    std::string path_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> records_;
};

}  // namespace hubtest

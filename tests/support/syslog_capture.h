// Catches what processes send to the system log while a test runs: binds a
// datagram socket at /dev/log, where the C library's syslog() sends its
// records, and removes it at the end. Only one capture can exist on the
// machine at a time, so every test that makes one must hold the ctest
// resource lock "syslog" (RESOURCE_LOCK syslog).
//
// When /dev/log is there already (a system logger runs), nothing is
// captured: available() is false and the test should skip, see
// HUB_SYSLOG_CAPTURE_OR_SKIP. A /dev/log socket that nobody reads (left by a
// crashed run) is taken over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hubtest {

using Millis = std::chrono::milliseconds;

// One record as syslog() sends it: "<14>Dec  5 14:45:00 hub[1234]: text".
struct SyslogRecord {
    int priority = -1;  // facility * 8 + severity; LOG_USER|LOG_INFO is 14
    std::string ident;  // "hub"
    long pid = -1;      // -1 when the record carries none
    std::string message;  // the text after "]: ", exactly as sent (a trailing "\n" stays)
};

// Splits a raw record; nullopt when it does not have that shape.
std::optional<SyslogRecord> parse_syslog_record(const std::string &raw);

class SyslogCapture {
public:
    static constexpr const char *DEV_LOG = "/dev/log";

    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture &) = delete;
    SyslogCapture &operator=(const SyslogCapture &) = delete;

    bool available() const { return fd_ >= 0; }
    const std::string &unavailable_reason() const { return reason_; }

    // Raw records in arrival order.
    std::vector<std::string> raw_records() const;
    // Parsed records; a record that does not parse shows as its raw text in
    // `message`, with priority -1.
    std::vector<SyslogRecord> records() const;
    // Just the message texts.
    std::vector<std::string> messages() const;
    size_t count() const;

    bool wait_for_records(size_t count, Millis timeout) const;
    // Index of the first record at index >= `from` whose message equals
    // `message` / satisfies `match`; nullopt on timeout.
    std::optional<size_t> wait_message(const std::string &message, Millis timeout, size_t from = 0) const;
    std::optional<size_t> wait_message(const std::function<bool(const SyslogRecord &)> &match, Millis timeout,
                                       size_t from = 0) const;

private:
    void receive_loop();

    int fd_ = -1;
    int stop_fd_ = -1;
    std::string reason_;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> raw_;
};

}  // namespace hubtest

// Declares a SyslogCapture `name` in a test body, or skips the test when the
// system log cannot be captured on this machine.
#define HUB_SYSLOG_CAPTURE_OR_SKIP(name)   \
    ::hubtest::SyslogCapture name;         \
    if (!name.available()) GTEST_SKIP() << name.unavailable_reason()

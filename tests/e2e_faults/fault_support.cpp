#include "fault_support.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace faults {
namespace {

using Clock = std::chrono::steady_clock;

Millis left(Clock::time_point deadline) {
    auto ms = std::chrono::ceil<Millis>(deadline - Clock::now());
    return ms.count() > 0 ? ms : Millis(0);
}

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

Footprint footprint(pid_t pid) {
    Footprint f;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            ++f.fds;
            char target[256] = {};
            ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            f.targets.push_back(std::string(e->d_name) + " -> " + (n > 0 ? target : "?"));
        }
        closedir(d);
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (starts_with(line, "VmRSS:")) f.rss_kib = std::stol(line.substr(6));
    return f;
}

std::string to_string(const Footprint &f) {
    return std::to_string(f.fds) + " descriptors, " + std::to_string(f.rss_kib) + " KiB resident";
}

testing::AssertionResult footprint_back(const Footprint &before, const Footprint &after, long rss_slack_kib) {
    if (after.fds != before.fds || after.rss_kib > before.rss_kib + rss_slack_kib) {
        auto failure = testing::AssertionFailure() << "before: " << to_string(before) << "; after: " << to_string(after)
                                                   << " (resident slack " << rss_slack_kib << " KiB)";
        for (const auto *f : {&before, &after}) {
            failure << (f == &before ? "\n  descriptors before:" : "\n  descriptors after:");
            for (const std::string &t : f->targets) failure << " [" << t << "]";
        }
        return failure;
    }
    return testing::AssertionSuccess() << "before: " << to_string(before) << "; after: " << to_string(after);
}

long rss_slack_kib() {
#if defined(__SANITIZE_THREAD__)
    return 8192;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return 8192;
#else
    return 1024;
#endif
#else
    return 1024;
#endif
}

CanFrame node_frame(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f{};
    f.id = id;
    for (uint8_t b : data)
        if (f.length < 8) f.data[f.length++] = b;
    return f;
}

RawPc::~RawPc() { close(); }

bool RawPc::connect(uint16_t port, int receive_buffer) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

bool RawPc::send(const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RawPc::read_exact(void *data, size_t size, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    auto *p = static_cast<uint8_t *>(data);
    while (size > 0) {
        pollfd entry{fd_, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left(deadline).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = recv(fd_, p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void RawPc::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawPc::reset() {
    if (fd_ < 0) return;
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
}

bool wait_lines(const hubtest::OutputLog &log, const hubtest::LineMatch &match, size_t count, Millis timeout,
                size_t from) {
    const auto deadline = Clock::now() + timeout;
    for (size_t seen = 0; seen < count; ++seen) {
        auto index = log.wait_line(match, left(deadline), from);
        if (!index) return false;
        from = *index + 1;
    }
    return true;
}

size_t count_lines(const hubtest::OutputLog &log, const hubtest::LineMatch &match, size_t from) {
    std::vector<std::string> lines = log.lines();
    size_t n = 0;
    for (size_t i = from; i < lines.size(); ++i)
        if (match(lines[i])) ++n;
    return n;
}

bool is_accept_line(const std::string &line) { return starts_with(line, "Server: connect from host "); }

bool is_drop_report(const std::string &line) {
    return starts_with(line, "Time Out: ") || starts_with(line, "recv: ") || starts_with(line, "Watchdog: ") ||
           line == "Close Client Socket!";
}

size_t accepts(const hubtest::HubProcess &hub) { return count_lines(hub.out(), is_accept_line); }

size_t drops(const hubtest::HubProcess &hub) {
    return count_lines(hub.err(), is_drop_report) + count_lines(hub.out(), is_drop_report);
}

testing::AssertionResult wait_pc_counts(const hubtest::HubProcess &hub, size_t accepted, size_t dropped,
                                        Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    // Both streams grow while we look: wait on each until its share is
    // there, then look at the whole again.
    for (;;) {
        size_t a = accepts(hub), d = drops(hub);
        if (a >= accepted && d >= dropped) return testing::AssertionSuccess();
        if (Clock::now() >= deadline)
            return testing::AssertionFailure() << "the hub took " << a << " PCs (waited for " << accepted
                                               << ") and let " << d << " go (waited for " << dropped << ")";
        const Millis slice = std::min(left(deadline), Millis(50));
        if (a < accepted)
            (void)hub.out().wait_line(is_accept_line, slice, hub.out().line_count());
        else
            (void)hub.err().wait_line(is_drop_report, slice, hub.err().line_count());
    }
}

testing::AssertionResult start_serving(hubtest::HubRig &rig, Millis timeout) {
    rig.start();
    return wait_serving(rig, timeout);
}

CanFrame test_selection() { return node_frame(0x23F, {1, 2, 3, 4, 5, 6, 1, 2}); }

testing::AssertionResult wait_serving(hubtest::HubRig &rig, Millis timeout, bool injected) {
    // The CPU node's test selection: Word8 = 0x0102, so PC commands pass. Its
    // acknowledgement shows the CAN reader and writer at work (the device
    // keeps the frame until the hub has connected).
    const size_t from = injected ? 0 : rig.can.frame_count();
    if (!injected) rig.can.inject(test_selection());
    if (!rig.can.wait_for_frame([](const CanFrame &f) { return frame_text(f) == "287#1604"; }, timeout, from))
        return testing::AssertionFailure() << "the test selection was not acknowledged";
    // The GPIO thread sets the sensor-ready line when it starts.
    if (!rig.gpio.wait_for_bits([](uint32_t bits) { return (bits & 0x40) != 0; }, timeout))
        return testing::AssertionFailure() << "the GPIO thread did not set the sensor-ready line";
    return testing::AssertionSuccess();
}

testing::AssertionResult serves_normally(hubtest::HubRig &rig, uint8_t tag, Millis timeout) {
    // Every PC before this one has been let go.
    const size_t accepted = accepts(rig.hub);
    auto idle = wait_pc_counts(rig.hub, accepted, accepted, timeout);
    if (!idle) return idle << " (before the normal PC)";
    const size_t dropped = drops(rig.hub);
    hubtest::PcClient pc;
    if (!pc.connect(rig.port, timeout)) return testing::AssertionFailure() << "a new PC cannot connect";
    auto watchdog = pc.wait_record_type(0, timeout);
    if (!watchdog) return testing::AssertionFailure() << "no watchdog reached a new PC";
    if (hubtest::record_le16(*watchdog, 8) != 0x0102)
        return testing::AssertionFailure() << "the watchdog's Word8 is " << hubtest::record_le16(*watchdog, 8);

    // A report from the CPU node reaches the PC and is acknowledged.
    size_t from = rig.can.frame_count();
    rig.can.inject(node_frame(0x21F, {tag}));
    auto report = pc.wait_record([tag](const hubtest::HubRecord &r) { return hubtest::record_type(r) == 4 && r[12] == tag; },
                                 timeout);
    if (!report) return testing::AssertionFailure() << "the exam status " << int{tag} << " did not reach the PC";
    if (!rig.can.wait_for_frame([](const CanFrame &f) { return frame_text(f) == "287#1603"; }, timeout, from))
        return testing::AssertionFailure() << "the exam status was not acknowledged on the bus";

    // A command from the PC reaches the CAN device.
    from = rig.can.frame_count();
    const uint8_t ma = static_cast<uint8_t>(tag ^ 0xFF);
    if (!pc.send(hubtest::PcRecord{.event = 3, .kv = tag, .ma = ma}))
        return testing::AssertionFailure() << "the PC cannot send";
    auto command = rig.can.wait_for_frame(
        [&](const CanFrame &f) { return f.length == 3 && f.data[0] == 18 && f.data[1] == tag && f.data[2] == ma; },
        timeout, from);
    if (!command) return testing::AssertionFailure() << "the kV/mA command " << int{tag} << " did not reach the bus";

    // A process-data request is answered (the node is in PRE_OP).
    from = rig.can.frame_count();
    rig.can.inject(node_frame(0x107, {}));
    if (!rig.can.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0 && f.length == 5; }, timeout, from))
        return testing::AssertionFailure() << "the process-data request was not answered";

    pc.close();
    auto counts = wait_pc_counts(rig.hub, accepted + 1, dropped + 1, timeout);
    if (!counts) return counts << " (after the normal PC left)";
    return testing::AssertionSuccess();
}

}  // namespace faults

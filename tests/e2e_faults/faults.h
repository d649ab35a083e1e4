// What the fault tests share: the hub's footprint, the PCs it took and let
// go, and the check that it still serves a normal PC and CPU node.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "hub_rig.h"

namespace faults {

using namespace hubtest;

// The hub's descriptors and resident memory.
struct Footprint {
    long fds = 0, rss_kib = 0;
};

inline Footprint footprint(pid_t pid) {
    Footprint f;
    const std::string proc = "/proc/" + std::to_string(pid);
    f.fds = std::distance(std::filesystem::directory_iterator(proc + "/fd"), std::filesystem::directory_iterator());
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) f.rss_kib = std::stol(line.substr(6));
    return f;
}

// Same descriptors and at most 1 MiB more resident memory (8 MiB under
// ThreadSanitizer, whose runtime keeps growing records of its own).
inline testing::AssertionResult footprint_back(const Footprint &before, pid_t pid) {
#if defined(__has_feature)
    constexpr long slack = __has_feature(thread_sanitizer) ? 8192 : 1024;
#else
    constexpr long slack = 1024;
#endif
    const Footprint after = footprint(pid);
    return testing::AssertionResult(after.fds == before.fds && after.rss_kib <= before.rss_kib + slack)
           << "descriptors " << before.fds << " -> " << after.fds << ", resident " << before.rss_kib << " -> "
           << after.rss_kib << " KiB";
}

// The hub took a PC (stdout, maybe after at-signs) or let one go (stderr, or "Close Client Socket!").
inline size_t count(const OutputLog &log, const LineMatch &match) {
    auto lines = log.lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), match));
}
inline bool is_accept(const std::string &l) { return l.find("Server: connect from host ") != std::string::npos; }
inline bool is_drop(const std::string &l) {
    return l.rfind("Time Out: ", 0) == 0 || l.rfind("recv: ", 0) == 0 || l.rfind("Watchdog: ", 0) == 0 ||
           l == "Close Client Socket!";
}
inline size_t accepts(const HubProcess &hub) { return count(hub.out(), is_accept); }
inline size_t drops(const HubProcess &hub) { return count(hub.err(), is_drop) + count(hub.out(), is_drop); }

// Until the hub has taken `accepted` PCs and let `dropped` go, waking on each new line.
inline testing::AssertionResult wait_pc_counts(const HubProcess &hub, size_t accepted, size_t dropped) {
    for (auto give_up = std::chrono::steady_clock::now() + WAIT;;) {
        size_t a = accepts(hub), d = drops(hub);
        if (a >= accepted && d >= dropped) return testing::AssertionSuccess();
        if (std::chrono::steady_clock::now() >= give_up)
            return testing::AssertionFailure() << "took " << a << " PCs of " << accepted << ", let " << d << " of "
                                               << dropped << " go";
        const OutputLog &log = a < accepted ? hub.out() : hub.err();
        (void)log.wait_line(a < accepted ? LineMatch(is_accept) : LineMatch(is_drop), Millis(50), log.line_count());
    }
}

inline bool wait_frame(HubRig &rig, const std::string &text, size_t from) {
    return rig.can.wait_for_frame([&](const CanFrame &f) { return frame_text(f) == text; }, WAIT, from).has_value();
}

// The test selection (Word8 0x0102) acknowledged, and the GPIO thread up.
inline bool serving(HubRig &rig, bool injected = false) {
    const size_t from = injected ? 0 : rig.can.frame_count();
    if (!injected) rig.can.inject(frame(0x23F, {1, 2, 3, 4, 5, 6, 1, 2}));
    return wait_frame(rig, "287#1604", from) && rig.gpio.wait_for_bits([](uint32_t b) { return (b & 0x40) != 0; }, WAIT);
}

// A new PC gets a watchdog, an acknowledged exam status, its kV/mA on the bus,
// a process-data answer, and is let go; `tag` makes the values its own.
inline testing::AssertionResult serves_normally(HubRig &rig, uint8_t tag) {
    const size_t accepted = accepts(rig.hub);
    if (auto idle = wait_pc_counts(rig.hub, accepted, accepted); !idle) return idle << " (before the normal PC)";
    const size_t dropped = drops(rig.hub);
    PcClient pc;
    auto watchdog = pc.connect(rig.port, WAIT) ? pc.wait_record_type(MSG_TYPE_WATCHDOG, WAIT) : std::nullopt;
    if (!watchdog || get_le16(watchdog->data(), 8) != 0x0102) return testing::AssertionFailure() << "no watchdog for a PC";
    size_t from = rig.can.frame_count();
    rig.can.inject(frame(0x21F, {tag}));
    if (!pc.wait_record([tag](const HubRecord &r) { return record_type(r) == 4 && r[12] == tag; }, WAIT) ||
        !wait_frame(rig, "287#1603", from))
        return testing::AssertionFailure() << "exam status " << int{tag} << " not reported and acknowledged";
    from = rig.can.frame_count();
    const uint8_t ma = static_cast<uint8_t>(~tag);
    if (!pc.send({.Event = PC_CHANGE_KV_MA, .kV = tag, .mA = ma}) ||
        !wait_frame(rig, frame_text(frame(0x287, {18, tag, ma})), from))
        return testing::AssertionFailure() << "the kV/mA command " << int{tag} << " did not reach the bus";
    from = rig.can.frame_count();
    rig.can.inject(frame(0x107));
    if (!rig.can.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0 && f.length == 5; }, WAIT, from))
        return testing::AssertionFailure() << "the process-data request was not answered";
    pc.close();
    return wait_pc_counts(rig.hub, accepted + 1, dropped + 1);
}

// Starts the hub and has it serve (the test selection, then a normal PC
// tagged `tag`); its footprint then, nullopt (the failure reported) if not.
inline std::optional<Footprint> start_serving(HubRig &rig, uint8_t tag) {
    rig.start();
    testing::AssertionResult normal =
        serving(rig) ? serves_normally(rig, tag) : testing::AssertionFailure() << "no test selection acknowledged";
    if (!normal) ADD_FAILURE() << normal.message();
    return normal ? std::optional(footprint(rig.hub.pid())) : std::nullopt;
}

}  // namespace faults

// The hub end to end, against the floor of this machine.
//
// Starts the real hub executable on CAN and GPIO device sockets served here,
// connects to it as the PC over loopback TCP, and measures idle CPU, latency
// both ways one at a time, closed-loop capacity both ways, peak resident
// memory and heap allocations after start-up. The same traffic goes through
// the floor (this executable with --relay: the hub's work per frame on the
// same sockets and nothing else) in the same run, and every hub figure is
// printed beside the floor's with their ratio. --profile board runs the
// board's trials instead (board_profile.h).
//
//   hub_bench [--smoke] [--hub PATH] [--alloc-lib PATH | --no-alloc]
//             [--latency-count N] [--idle-seconds S]
//   hub_bench --profile board [--smoke] [--hub PATH] [--trial-seconds S]
//             [--rate R]... [--cores 1|2] [--target hub|floor1|floor2]...
//   hub_bench --trial hub|floor can|pc RATE [--trial-seconds S]
//
// The table goes to standard output, progress to standard error. Exit status
// 0 when every measurement ran (targets met or not), 1 when one could not.
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_target.h"
#include "board_profile.h"
#include "bench_wire.h"
#include "floor_relay.h"

#ifndef HUB_BENCH_HUB_EXE
#define HUB_BENCH_HUB_EXE "hub"
#endif
#ifndef HUB_BENCH_ALLOC_LIB
#define HUB_BENCH_ALLOC_LIB ""
#endif

using namespace bench;

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t SEC = 1000000000;

struct Params {
    bool smoke = false;
    std::string hub = HUB_BENCH_HUB_EXE;
    std::string alloc_lib = HUB_BENCH_ALLOC_LIB;
    int latency_count = 10000;
    int latency_warmup = 500;
    double idle_s = 10;
    double floor_idle_s = 2;  // the relay has no timers: it shows 0 at any length
    double trial_s = 5;
    double probe_s = 1;
    double late_s = 0.1;  // a trial's output may trail its last input by this much
    int probe_window = 24;  // frames in flight while probing: below the hub's 31-slot ring
    // --trial: one open-loop trial on one target only (for profiling).
    std::string only_who, only_dir;
    double only_rate = 0;
};

void progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void progress(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stderr);
}

// ---------------------------------------------------------------- latency

// One exam-parameter frame at a time: device-socket send to the PC's receipt
// of its record; the next goes once the record and its acknowledge are in.
Latency latency_can_to_pc(Target &t, const Params &p) {
    std::vector<int64_t> v;
    v.reserve(static_cast<size_t>(p.latency_count));
    for (int i = 0; i < p.latency_warmup + p.latency_count; ++i) {
        const uint64_t want = t.seen.exam_records + 1, want_ack = t.seen.exam_acks + 1;
        const Frame f = exam_param_frame(t.exam_sent++);
        const int64_t t0 = now_ns();
        t.send_frame_blocking(f);
        if (!t.service_until([&] { return t.seen.exam_records >= want && t.seen.exam_acks >= want_ack; }, t0 + 2 * SEC))
            throw std::runtime_error(std::string(t.name()) + ": exam parameter frame not reported/acknowledged within 2 s");
        if (i >= p.latency_warmup) v.push_back(t.seen.last_exam_ns - t0);
    }
    return summarize(v);
}

// One kV/mA command at a time: the PC's send to the frame's arrival at the
// device socket.
Latency latency_pc_to_can(Target &t, const Params &p) {
    std::vector<int64_t> v;
    v.reserve(static_cast<size_t>(p.latency_count));
    for (int i = 0; i < p.latency_warmup + p.latency_count; ++i) {
        const uint64_t want = t.seen.kvma_frames + 1;
        uint8_t rec[PC_TO_HUB_SIZE];
        kv_ma_record(rec, t.kvma_sent++, t.pc_status);
        const int64_t t0 = now_ns();
        t.send_pc(rec, sizeof rec);
        if (!t.service_until([&] { return t.seen.kvma_frames >= want; }, t0 + 2 * SEC))
            throw std::runtime_error(std::string(t.name()) + ": kV/mA command frame not written within 2 s");
        if (i >= p.latency_warmup) v.push_back(t.seen.last_kvma_ns - t0);
    }
    return summarize(v);
}

// ------------------------------------------------------------- throughput

enum class Dir { CanToPc, PcToCan };

const char *dir_name(Dir d) { return d == Dir::CanToPc ? "CAN->PC" : "PC->CAN"; }

// Items that have made the whole trip in this direction so far.
uint64_t completed(const Target &t, Dir d) {
    return d == Dir::CanToPc ? std::min(t.seen.exam_records, t.seen.exam_acks) : t.seen.kvma_frames;
}

// Offers up to n more items at once; returns how many were taken.
size_t offer(Target &t, Dir d, size_t n) {
    constexpr size_t BATCH = 64;
    size_t done = 0;
    while (done < n) {
        const size_t k = std::min(BATCH, n - done);
        if (d == Dir::CanToPc) {
            Frame frames[BATCH];
            for (size_t i = 0; i < k; ++i) frames[i] = exam_param_frame(t.exam_sent + static_cast<uint32_t>(i));
            const size_t took = t.send_frames(frames, k);
            t.exam_sent += static_cast<uint32_t>(took);
            done += took;
            if (took < k) break;
        } else {
            uint8_t recs[BATCH * PC_TO_HUB_SIZE];
            for (size_t i = 0; i < k; ++i) kv_ma_record(recs + i * PC_TO_HUB_SIZE, t.kvma_sent++, t.pc_status);
            t.send_pc(recs, k * PC_TO_HUB_SIZE);
            done += k;
        }
    }
    return done;
}

// Closed loop, a bounded number in flight, as fast as the target goes: where
// the open-loop trials start.
double probe(Target &t, Dir d, const Params &p) {
    t.drain(20 * MS);
    const uint64_t base = completed(t, d);
    uint64_t sent = 0;
    const int64_t start = now_ns(), end = start + static_cast<int64_t>(p.probe_s * SEC);
    while (now_ns() < end) {
        const uint64_t done = completed(t, d) - base;
        const uint64_t room = static_cast<uint64_t>(p.probe_window) - (sent - done);
        if (room > 0) sent += offer(t, d, room);
        t.service(std::min(end, now_ns() + 10 * MS));
    }
    const uint64_t done = completed(t, d) - base;
    const double rate = static_cast<double>(done) / p.probe_s;
    if (!t.service_until([&] { return completed(t, d) - base >= sent; }, now_ns() + 2 * SEC))
        throw std::runtime_error(std::string(t.name()) + ": probe traffic did not complete");
    return rate;
}

struct Trial {
    double offered = 0;
    bool ok = false;
    std::string why;
    double cpu_pct = 0;       // the target's CPU over the trial, % of one core
    double cpu_us_frame = 0;  // its CPU time per item
    uint64_t max_batch = 0;   // most items offered at once (the load's own burstiness)
};

// Open loop: item k is due at start + k/rate. Passes when every item was
// offered on schedule (never more than late_s behind), every item made the
// whole trip by late_s after the last was offered, in order and intact, and
// the hub printed no "@".
Trial trial(Target &t, Dir d, double rate, const Params &p) {
    Trial r;
    r.offered = rate;
    t.drain(20 * MS);
    const Seen s0 = t.seen;
    const uint64_t base = completed(t, d);
    const uint64_t total = static_cast<uint64_t>(std::llround(rate * p.trial_s));
    const double ns_per_item = 1e9 / rate;
    const int64_t late = static_cast<int64_t>(p.late_s * SEC);
    const int64_t cpu0 = t.cpu_ns();
    const int64_t start = now_ns() + MS;
    uint64_t sent = 0;
    bool behind = false;
    while (sent < total) {
        const int64_t now = now_ns();
        uint64_t due = now < start ? 0 : std::min<uint64_t>(total, static_cast<uint64_t>(static_cast<double>(now - start) / ns_per_item) + 1);
        if (due > sent) {
            r.max_batch = std::max<uint64_t>(r.max_batch, due - sent);
            sent += offer(t, d, due - sent);
        }
        // Items still in this process (a PC send the kernel did not take yet)
        // have not been offered.
        const uint64_t out = sent - std::min<uint64_t>(sent, t.pc_pending() / PC_TO_HUB_SIZE);
        if (out < due && now - (start + static_cast<int64_t>(static_cast<double>(out) * ns_per_item)) > late) {
            behind = true;
            break;
        }
        const int64_t next = start + static_cast<int64_t>(static_cast<double>(sent) * ns_per_item);
        t.service(std::max(next, now));
    }
    const int64_t end = now_ns();
    const bool in_time = !behind && t.service_until([&] { return completed(t, d) - base >= sent; }, end + late);
    const int64_t cpu1 = t.cpu_ns();
    const double busy_s = static_cast<double>(now_ns() - start) / 1e9;
    r.cpu_pct = static_cast<double>(cpu1 - cpu0) / 1e9 / busy_s * 100.0;
    r.cpu_us_frame = sent ? static_cast<double>(cpu1 - cpu0) / 1e3 / static_cast<double>(sent) : 0;
    // Whatever is still on its way is let in, so the next trial starts clean
    // and a loss is told from a delay: the target falls quiet once it has
    // passed on all it will.
    t.drain(50 * MS);
    const uint64_t got = completed(t, d) - base;
    char why[200] = "";
    if (behind)
        snprintf(why, sizeof why, "could not offer it: %.0f ms behind schedule after %llu items", p.late_s * 1e3,
                 static_cast<unsigned long long>(sent));
    else if (t.seen.at_signs != s0.at_signs)
        snprintf(why, sizeof why, "transmit ring full: %llu '@', %llu of %llu %s", 
                 static_cast<unsigned long long>(t.seen.at_signs - s0.at_signs),
                 static_cast<unsigned long long>(d == Dir::CanToPc ? t.seen.exam_acks - s0.exam_acks
                                                                   : t.seen.kvma_frames - s0.kvma_frames),
                 static_cast<unsigned long long>(sent), d == Dir::CanToPc ? "acknowledged" : "command frames written");
    else if (got < sent)
        snprintf(why, sizeof why, "lost %llu of %llu", static_cast<unsigned long long>(sent - got),
                 static_cast<unsigned long long>(sent));
    else if (t.seen.errors != s0.errors)
        snprintf(why, sizeof why, "%llu items out of sequence or damaged",
                 static_cast<unsigned long long>(t.seen.errors - s0.errors));
    else if (!in_time)
        snprintf(why, sizeof why, "fell behind: output trailed input by more than %.0f ms", p.late_s * 1e3);
    r.why = why;
    r.ok = r.why.empty();
    return r;
}

// ------------------------------------------------------------------- idle

struct Idle {
    double pct = 0;
    uint64_t watchdogs = 0;
    uint64_t gpio_requests = 0;
};

Idle idle(Target &t, double seconds) {
    t.drain(20 * MS);
    const Seen s0 = t.seen;
    const int64_t c0 = t.cpu_ns(), start = now_ns(), end = start + static_cast<int64_t>(seconds * SEC);
    while (now_ns() < end) t.service(end);
    const int64_t c1 = t.cpu_ns(), stop = now_ns();
    Idle r;
    r.pct = static_cast<double>(c1 - c0) / static_cast<double>(stop - start) * 100.0;
    r.watchdogs = t.seen.watchdogs - s0.watchdogs;
    r.gpio_requests = t.seen.gpio_requests - s0.gpio_requests;
    return r;
}

// ------------------------------------------------------------ allocations

struct Allocs {
    bool measured = false;
    std::string why_not;
    Target::AllocCounts startup;   // up to the moment every thread runs
    uint64_t connect_calls = 0;    // PC connection and test selection
    uint64_t connect_bytes = 0;
    uint64_t traffic_calls = 0;    // everything after that
    uint64_t traffic_bytes = 0;
    uint64_t items = 0;
};

// A second hub process with the counter preloaded, so no other figure is
// taken with it loaded: every kind of traffic the run makes, then counts.
Allocs allocations(const Params &p) {
    Allocs a;
    if (p.alloc_lib.empty()) {
        a.why_not = "counter library not given";
        return a;
    }
    if (access(p.alloc_lib.c_str(), R_OK) != 0) {
        a.why_not = "counter library " + p.alloc_lib + " missing";
        return a;
    }
    auto t = std::make_unique<Target>();
    t->start_hub(p.hub, p.alloc_lib, HubConf::Bench);
    Params q = p;
    q.latency_warmup = 0;
    q.latency_count = p.smoke ? 100 : 2000;
    q.trial_s = p.smoke ? 0.2 : 1;
    (void)latency_can_to_pc(*t, q);
    (void)latency_pc_to_can(*t, q);
    (void)trial(*t, Dir::CanToPc, 20000, q);
    (void)trial(*t, Dir::PcToCan, 20000, q);
    // Watchdogs and GPIO passes: two periods of each.
    (void)idle(*t, p.smoke ? 1.1 : 2.2);
    t->drain(20 * MS);
    const Target::AllocCounts end = t->alloc_counters();
    a.measured = t->alloc_at_threads.calls > 0;  // the loader's and start-up's own calls prove it is loaded
    if (!a.measured) a.why_not = "the counter library did not attach";
    a.startup = t->alloc_at_threads;
    a.connect_calls = t->alloc_at_ready.calls - t->alloc_at_threads.calls;
    a.connect_bytes = t->alloc_at_ready.bytes - t->alloc_at_threads.bytes;
    a.traffic_calls = end.calls - t->alloc_at_ready.calls;
    a.traffic_bytes = end.bytes - t->alloc_at_ready.bytes;
    a.items = t->seen.exam_records + t->seen.kvma_frames + t->seen.watchdogs;
    t->stop();
    return a;
}

// ------------------------------------------------------------------ table

int usage() {
    fprintf(stderr,
            "usage: hub_bench [--smoke] [--hub PATH] [--alloc-lib PATH | --no-alloc]\n"
            "                 [--latency-count N] [--idle-seconds S]\n"
            "       hub_bench --profile board [--smoke] [--hub PATH] [--trial-seconds S]\n"
            "                 [--rate R]... [--cores 1|2] [--target hub|floor1|floor2]...\n"
            "       hub_bench --trial hub|floor can|pc RATE [--trial-seconds S]   one trial only\n");
    return 2;
}

// The run stops at the next wait; unwinding ends the children and removes
// their folders.
void on_signal(int) { interrupt(); }

// One trial on one target, for profiling the target while it runs: the
// target's pid is printed first.
int run_one(const Params &p, const std::string &self) {
    auto t = std::make_unique<Target>();
    if (p.only_who == "hub") t->start_hub(p.hub, "", HubConf::Bench);
    else t->start_floor(self, 1);
    const Dir d = p.only_dir == "can" ? Dir::CanToPc : Dir::PcToCan;
    progress("%s pid %d; %s at %.0f/s for %.1f s\n", t->name(), static_cast<int>(t->pid()), dir_name(d), p.only_rate,
             p.trial_s);
    const Trial tr = trial(*t, d, p.only_rate, p);
    printf("%s %s %.0f/s: %s (CPU %.1f%% of a core, %.2f us/frame, largest batch offered %llu)\n", t->name(),
           dir_name(d), p.only_rate, tr.ok ? "sustained" : tr.why.c_str(), tr.cpu_pct, tr.cpu_us_frame,
           static_cast<unsigned long long>(tr.max_batch));
    t->stop();
    return 0;
}

int run(const Params &p, const std::string &self) {
    utsname u{};
    uname(&u);
    const std::string cpu = first_line_of("/proc/cpuinfo", "model name");
    const std::string load_before = loadavg();
    progress("hub_bench%s: %s on %ld cores (%s), kernel %s\n", p.smoke ? " --smoke" : "", p.hub.c_str(),
             sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(), u.release);

    // The floor first, then the hub: a hub left without its PC's watchdog
    // answers for three periods drops the PC, so each target is measured
    // whole while it is the one being served.
    progress("floor: a one-thread relay doing the hub's work per frame\n");
    auto floor = std::make_unique<Target>();
    floor->start_floor(self, 1);
    const Idle idle_f = idle(*floor, p.floor_idle_s);
    const Latency cp_f = latency_can_to_pc(*floor, p);
    const Latency pc_f = latency_pc_to_can(*floor, p);
    progress("  latency p50/p99 CAN->PC %.1f/%.1f us, PC->CAN %.1f/%.1f us\n", static_cast<double>(cp_f.p50) / 1e3,
             static_cast<double>(cp_f.p99) / 1e3, static_cast<double>(pc_f.p50) / 1e3, static_cast<double>(pc_f.p99) / 1e3);
    const double cap_cp_f = probe(*floor, Dir::CanToPc, p), cap_pc_f = probe(*floor, Dir::PcToCan, p);
    const long hwm_f = floor->vm_kib("VmHWM");
    const uint64_t floor_errors = floor->seen.errors;
    floor->stop();

    progress("hub: starting it (it asks for the controller a second after start)\n");
    auto hub = std::make_unique<Target>();
    hub->start_hub(p.hub, "", HubConf::Bench);
    progress("idle: %.1f s with the PC connected and answering watchdogs, the bus silent\n", p.idle_s);
    const Idle idle_h = idle(*hub, p.idle_s);
    progress("  %.4f%% of a core (%llu watchdogs answered, %llu GPIO requests served)\n", idle_h.pct,
             static_cast<unsigned long long>(idle_h.watchdogs), static_cast<unsigned long long>(idle_h.gpio_requests));
    progress("latency: %d frames CAN->PC, then %d commands PC->CAN, one at a time\n", p.latency_count, p.latency_count);
    const Latency cp_h = latency_can_to_pc(*hub, p);
    const Latency pc_h = latency_pc_to_can(*hub, p);
    progress("  latency p50/p99 CAN->PC %.1f/%.1f us, PC->CAN %.1f/%.1f us\n", static_cast<double>(cp_h.p50) / 1e3,
             static_cast<double>(cp_h.p99) / 1e3, static_cast<double>(pc_h.p50) / 1e3, static_cast<double>(pc_h.p99) / 1e3);
    const double cap_cp_h = probe(*hub, Dir::CanToPc, p), cap_pc_h = probe(*hub, Dir::PcToCan, p);
    progress("  closed loop, %d in flight: CAN->PC %.0f/s, PC->CAN %.0f/s\n", p.probe_window, cap_cp_h, cap_pc_h);

    const long hwm_h = hub->vm_kib("VmHWM"), rss_h = hub->vm_kib("VmRSS");
    if (hub->seen.errors || floor_errors)
        progress("note: %llu out-of-sequence items from the hub (each dropped frame shows as one), %llu from the floor\n",
                 static_cast<unsigned long long>(hub->seen.errors), static_cast<unsigned long long>(floor_errors));
    const uint64_t hub_watchdogs = hub->seen.watchdogs;
    hub->stop();

    progress("allocations: a second hub process with the counter preloaded\n");
    const Allocs al = allocations(p);

    // ---- the table
    std::vector<Row> rows;
    rows.push_back({"idle CPU, % of one core", fmt("%.4f", idle_h.pct), fmt("%.4f", idle_f.pct), "-", "<= 0.1",
                    yes(idle_h.pct <= 0.1)});
    add_latency_rows(rows, "CAN->PC", cp_h, {cp_f});
    add_latency_rows(rows, "PC->CAN", pc_h, {pc_f});
    const std::string cap = "closed loop (" + std::to_string(p.probe_window) + " in flight), frames/s";
    rows.push_back({"CAN->PC " + cap, fmt("%.0f", cap_cp_h), fmt("%.0f", cap_cp_f), ratio(cap_cp_h, cap_cp_f), "", ""});
    rows.push_back({"PC->CAN " + cap, fmt("%.0f", cap_pc_h), fmt("%.0f", cap_pc_f), ratio(cap_pc_h, cap_pc_f), "", ""});
    rows.push_back({"peak RSS (VmHWM), KiB", std::to_string(hwm_h), std::to_string(hwm_f),
                    ratio(static_cast<double>(hwm_h), static_cast<double>(hwm_f)), "<= 4096", yes(hwm_h > 0 && hwm_h <= 4096)});
    if (al.measured)
        rows.push_back({"heap allocations after start-up", std::to_string(al.connect_calls + al.traffic_calls), "-", "-",
                        "0", yes(al.connect_calls + al.traffic_calls == 0)});
    else
        rows.push_back({"heap allocations after start-up", "not measured", "-", "-", "0", "-"});

    printf("\nhub benchmark%s: %ld cores, %s, kernel %s\n", p.smoke ? " (smoke: tiny counts, figures not meaningful)" : "",
           sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(), u.release);
    printf("hub: %s; floor: one-thread relay doing the hub's work per frame\n", p.hub.c_str());
    printf("load average (1, 5, 15 min) before the run: %s; after: %s\n\n", load_before.c_str(), loadavg().c_str());
    print_table({"metric", "hub", "floor", "hub/floor", "target", "met"}, rows, 2);
    printf("\n");
    printf("idle: %.1f s (floor %.1f s); hub answered %llu watchdogs and %llu GPIO requests meanwhile\n", p.idle_s,
           p.floor_idle_s, static_cast<unsigned long long>(idle_h.watchdogs),
           static_cast<unsigned long long>(idle_h.gpio_requests));
    printf("latency: %d samples each after %d warm-up, one at a time; closed loop: %.1f s each way\n", p.latency_count,
           p.latency_warmup, p.probe_s);
    printf("memory: hub VmHWM %ld KiB, VmRSS %ld KiB at the end, %llu watchdogs answered in the run\n", hwm_h, rss_h,
           static_cast<unsigned long long>(hub_watchdogs));
    if (al.measured)
        printf("allocations: %llu calls up to the threads' start; %llu (%llu bytes) for the PC's connection and test "
               "selection; %llu (%llu bytes) over %llu records, frames and watchdogs after that\n",
               static_cast<unsigned long long>(al.startup.calls), static_cast<unsigned long long>(al.connect_calls),
               static_cast<unsigned long long>(al.connect_bytes), static_cast<unsigned long long>(al.traffic_calls),
               static_cast<unsigned long long>(al.traffic_bytes), static_cast<unsigned long long>(al.items));
    else
        printf("allocations: not measured (%s)\n", al.why_not.c_str());
    return 0;
}

std::string self_exe() {
    char self[4096];
    const ssize_t sl = readlink("/proc/self/exe", self, sizeof self - 1);
    if (sl <= 0) throw std::runtime_error("cannot find this executable");
    self[sl] = '\0';
    return self;
}

}  // namespace

int main(int argc, char **argv) {
    Params p;
    BoardParams b;
    bool board = false, trial_seconds = false;
    std::vector<double> rates;
    std::vector<int> cores;
    std::vector<std::string> targets;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--relay") {
            const char *c = next(), *t = next(), *n = next();
            if (!c || !t || !n) return usage();
            return run_floor_relay(atoi(c), atoi(t), atoi(n));
        } else if (a == "--smoke") {
            p.smoke = true;
            p.latency_count = 200;
            p.latency_warmup = 20;
            p.idle_s = 0.5;
            p.floor_idle_s = 0.2;
            p.trial_s = 0.3;
            p.probe_s = 0.1;
        } else if (a == "--profile") {
            const char *v = next();
            if (!v || strcmp(v, "board") != 0) return usage();
            board = true;
        } else if (a == "--rate") {
            const char *v = next();
            if (!v || atof(v) <= 0) return usage();
            rates.push_back(atof(v));
        } else if (a == "--cores") {
            const char *v = next();
            if (!v || (atoi(v) != 1 && atoi(v) != 2)) return usage();
            cores.push_back(atoi(v));
        } else if (a == "--target") {
            const char *v = next();
            if (!v || (strcmp(v, "hub") != 0 && strcmp(v, "floor1") != 0 && strcmp(v, "floor2") != 0)) return usage();
            targets.push_back(v);
        } else if (a == "--trial") {
            const char *w = next(), *d = next(), *r = next();
            if (!w || !d || !r || (strcmp(w, "hub") != 0 && strcmp(w, "floor") != 0) ||
                (strcmp(d, "can") != 0 && strcmp(d, "pc") != 0) ||
                atof(r) <= 0)
                return usage();
            p.only_who = w;
            p.only_dir = d;
            p.only_rate = atof(r);
        } else if (a == "--hub") {
            const char *v = next();
            if (!v) return usage();
            p.hub = v;
        } else if (a == "--alloc-lib") {
            const char *v = next();
            if (!v) return usage();
            p.alloc_lib = v;
        } else if (a == "--no-alloc") {
            p.alloc_lib.clear();
        } else if (a == "--latency-count") {
            const char *v = next();
            if (!v || atoi(v) <= 0) return usage();
            p.latency_count = atoi(v);
        } else if (a == "--trial-seconds") {
            const char *v = next();
            if (!v || atof(v) <= 0) return usage();
            p.trial_s = atof(v);
            trial_seconds = true;
        } else if (a == "--idle-seconds") {
            const char *v = next();
            if (!v || atof(v) <= 0) return usage();
            p.idle_s = atof(v);
        } else {
            return usage();
        }
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        const std::string self = self_exe();
        if (board) {
            b.hub = p.hub;
            b.self = self;
            b.smoke = p.smoke;
            if (p.smoke) b.seconds = 0.3;
            if (trial_seconds) b.seconds = p.trial_s;
            if (!rates.empty()) b.rates = rates;
            if (!cores.empty()) b.cores = cores;
            if (!targets.empty()) b.targets = targets;
            return run_board(b);
        }
        if (!p.only_who.empty()) return run_one(p, self);
        return run(p, self);
    } catch (const std::exception &e) {
        fprintf(stderr, "hub_bench: %s\n", e.what());
        return 1;
    }
}

// The hub end to end, against the floor of this machine.
//
// Starts the real hub executable on CAN and GPIO device sockets served here,
// connects to it as the PC over loopback TCP, and measures idle CPU, latency
// both ways, sustained loss-free throughput both ways, peak resident memory
// and heap allocations after start-up. The same traffic goes through the
// floor relay (this executable with --relay: the same two socket hops and
// nothing else) in the same run, and every hub figure is printed beside the
// floor's with their ratio.
//
//   hub_bench [--smoke] [--hub PATH] [--alloc-lib PATH | --no-alloc]
//             [--latency-count N] [--trial-seconds S] [--idle-seconds S]
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

#include "bench_target.h"
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
    int max_trials = 16;
    double late_s = 0.1;  // a trial's output may trail its last input by this much
    double equal_rate = 2000;  // both targets' CPU per frame compared at this rate
    double equal_s = 2;
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

struct Latency {
    int64_t p50 = 0, p99 = 0, max = 0;
    size_t n = 0;
};

Latency summarize(std::vector<int64_t> &v) {
    Latency l;
    if (v.empty()) return l;
    std::sort(v.begin(), v.end());
    l.n = v.size();
    l.p50 = v[(v.size() - 1) / 2];
    l.p99 = v[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(v.size()))) - 1];
    l.max = v.back();
    return l;
}

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

struct Throughput {
    double probe = 0;
    Trial best;  // best.ok false: no trial passed
    std::vector<Trial> tried;
};

double round3(double v) {
    if (v <= 0) return v;
    const double scale = std::pow(10.0, std::floor(std::log10(v)) - 2);
    return std::round(v / scale) * scale;
}

// Raises the offered rate while trials pass, lowers it while they fail.
Throughput throughput(Target &t, Dir d, const Params &p) {
    Throughput out;
    out.probe = probe(t, d, p);
    progress("  %s %s: closed-loop probe %.0f/s\n", t.name(), dir_name(d), out.probe);
    double rate = round3(p.smoke ? out.probe / 2 : out.probe);
    bool failed = false;
    int ups = 0;
    for (int i = 0; i < p.max_trials && rate > 0; ++i) {
        Trial tr = trial(t, d, rate, p);
        out.tried.push_back(tr);
        progress("  %s %s: %.0f/s for %.1f s: %s (CPU %.1f%% of a core, %.2f us/frame)\n", t.name(), dir_name(d), rate,
                 p.trial_s, tr.ok ? "sustained" : tr.why.c_str(), tr.cpu_pct, tr.cpu_us_frame);
        if (tr.ok) {
            out.best = tr;
            if (failed || ++ups > 2) break;
            rate = round3(rate * 1.25);
        } else {
            failed = true;
            if (out.best.ok) break;
            rate = round3(rate * 0.8);
        }
    }
    return out;
}

// The same moderate load on both targets, for their CPU cost per frame.
Trial equal_load(Target &t, Dir d, const Params &p) {
    Params q = p;
    q.trial_s = p.equal_s;
    Trial tr = trial(t, d, p.equal_rate, q);
    progress("  %s %s: %.0f/s for %.1f s: %.2f us of CPU per frame%s%s\n", t.name(), dir_name(d), p.equal_rate, q.trial_s,
             tr.cpu_us_frame, tr.ok ? "" : "; ", tr.ok ? "" : tr.why.c_str());
    return tr;
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
    t->start_hub(p.hub, p.alloc_lib);
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

// The first three fields of /proc/loadavg: how busy the machine was with
// everything else.
std::string loadavg() {
    FILE *f = fopen("/proc/loadavg", "r");
    if (!f) return "?";
    double a = 0, b = 0, c = 0;
    const int n = fscanf(f, "%lf %lf %lf", &a, &b, &c);
    fclose(f);
    if (n != 3) return "?";
    char s[64];
    snprintf(s, sizeof s, "%.2f %.2f %.2f", a, b, c);
    return s;
}

std::string first_line_of(const char *path, const char *key) {
    FILE *f = fopen(path, "r");
    if (!f) return "?";
    char line[512];
    std::string v = "?";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, strlen(key)) != 0) continue;
        const char *c = strchr(line, ':');
        if (!c) continue;
        v = c + 1;
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(v.begin());
        while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
        break;
    }
    fclose(f);
    return v;
}

struct Row {
    std::string metric, hub, floor, ratio, target, met;
};

std::string fmt(const char *f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string ratio(double hub, double floor) {
    if (floor <= 0 || hub < 0) return "-";
    return fmt("%.2f", hub / floor);
}

void print_table(const std::vector<Row> &rows) {
    size_t w[6] = {6, 3, 5, 9, 6, 3};
    for (const Row &r : rows) {
        const std::string *c[6] = {&r.metric, &r.hub, &r.floor, &r.ratio, &r.target, &r.met};
        for (int i = 0; i < 6; ++i) w[i] = std::max(w[i], c[i]->size());
    }
    auto line = [&](const std::string *c[6]) {
        std::string s;
        for (int i = 0; i < 6; ++i) {
            std::string cell = *c[i];
            const bool right = i >= 1 && i <= 3;
            const std::string pad(w[i] - cell.size(), ' ');
            s += right ? pad + cell : cell + pad;
            if (i < 5) s += "  ";
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        printf("%s\n", s.c_str());
    };
    const std::string head[6] = {"metric", "hub", "floor", "hub/floor", "target", "met"};
    const std::string *h[6] = {&head[0], &head[1], &head[2], &head[3], &head[4], &head[5]};
    line(h);
    std::string rule[6];
    for (int i = 0; i < 6; ++i) rule[i] = std::string(w[i], '-');
    const std::string *ru[6] = {&rule[0], &rule[1], &rule[2], &rule[3], &rule[4], &rule[5]};
    line(ru);
    for (const Row &r : rows) {
        const std::string *c[6] = {&r.metric, &r.hub, &r.floor, &r.ratio, &r.target, &r.met};
        line(c);
    }
}

const char *yes(bool b) { return b ? "yes" : "NO"; }

void add_latency_rows(std::vector<Row> &rows, const char *what, const Latency &h, const Latency &f) {
    auto us = [](int64_t ns) { return fmt("%.1f", static_cast<double>(ns) / 1e3); };
    rows.push_back({std::string(what) + " latency p50, us", us(h.p50), us(f.p50), ratio(static_cast<double>(h.p50), static_cast<double>(f.p50)), "", ""});
    const bool ok = h.p99 <= 3 * f.p99;
    rows.push_back({std::string(what) + " latency p99, us", us(h.p99), us(f.p99), ratio(static_cast<double>(h.p99), static_cast<double>(f.p99)), "<= 3x floor",
                    yes(ok)});
    rows.push_back({std::string(what) + " latency max, us", us(h.max), us(f.max), ratio(static_cast<double>(h.max), static_cast<double>(f.max)), "", ""});
}

int usage() {
    fprintf(stderr,
            "usage: hub_bench [--smoke] [--hub PATH] [--alloc-lib PATH | --no-alloc]\n"
            "                 [--latency-count N] [--trial-seconds S] [--idle-seconds S]\n"
            "       hub_bench --trial hub|floor can|pc RATE [--trial-seconds S]   one trial only\n");
    return 2;
}

void on_signal(int) {
    emergency_cleanup();
    _exit(130);
}

// One trial on one target, for profiling the target while it runs: the
// target's pid is printed first.
int run_one(const Params &p, const std::string &self) {
    auto t = std::make_unique<Target>();
    if (p.only_who == "hub") t->start_hub(p.hub, "");
    else t->start_floor(self);
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

int run(const Params &p) {
    utsname u{};
    uname(&u);
    const std::string cpu = first_line_of("/proc/cpuinfo", "model name");
    const std::string load_before = loadavg();
    progress("hub_bench%s: %s on %ld cores (%s), kernel %s\n", p.smoke ? " --smoke" : "", p.hub.c_str(),
             sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(), u.release);

    char self[4096];
    const ssize_t sl = readlink("/proc/self/exe", self, sizeof self - 1);
    if (sl <= 0) throw std::runtime_error("cannot find this executable");
    self[sl] = '\0';
    if (!p.only_who.empty()) return run_one(p, self);

    // The floor first, then the hub: a hub left without its PC's watchdog
    // answers for three periods drops the PC, so each target is measured
    // whole while it is the one being served.
    progress("floor: a one-thread relay of the same socket hops\n");
    auto floor = std::make_unique<Target>();
    floor->start_floor(self);
    const Idle idle_f = idle(*floor, p.floor_idle_s);
    const Latency cp_f = latency_can_to_pc(*floor, p);
    const Latency pc_f = latency_pc_to_can(*floor, p);
    progress("  latency p50/p99 CAN->PC %.1f/%.1f us, PC->CAN %.1f/%.1f us\n", static_cast<double>(cp_f.p50) / 1e3, static_cast<double>(cp_f.p99) / 1e3,
             static_cast<double>(pc_f.p50) / 1e3, static_cast<double>(pc_f.p99) / 1e3);
    const Throughput tcp_f = throughput(*floor, Dir::CanToPc, p);
    const Throughput tpc_f = throughput(*floor, Dir::PcToCan, p);
    const Trial eq_cp_f = equal_load(*floor, Dir::CanToPc, p), eq_pc_f = equal_load(*floor, Dir::PcToCan, p);
    const long hwm_f = floor->vm_kib("VmHWM");
    const uint64_t floor_errors = floor->seen.errors;
    floor->stop();

    progress("hub: starting it (it asks for the controller a second after start)\n");
    auto hub = std::make_unique<Target>();
    hub->start_hub(p.hub, "");
    progress("idle: %.1f s with the PC connected and answering watchdogs, the bus silent\n", p.idle_s);
    const Idle idle_h = idle(*hub, p.idle_s);
    progress("  %.4f%% of a core (%llu watchdogs answered, %llu GPIO requests served)\n", idle_h.pct,
             static_cast<unsigned long long>(idle_h.watchdogs), static_cast<unsigned long long>(idle_h.gpio_requests));
    progress("latency: %d frames CAN->PC, then %d commands PC->CAN, one at a time\n", p.latency_count, p.latency_count);
    const Latency cp_h = latency_can_to_pc(*hub, p);
    const Latency pc_h = latency_pc_to_can(*hub, p);
    progress("  latency p50/p99 CAN->PC %.1f/%.1f us, PC->CAN %.1f/%.1f us\n", static_cast<double>(cp_h.p50) / 1e3, static_cast<double>(cp_h.p99) / 1e3,
             static_cast<double>(pc_h.p50) / 1e3, static_cast<double>(pc_h.p99) / 1e3);
    progress("throughput: %.1f s trials, offered rate raised while nothing is lost\n", p.trial_s);
    const Throughput tcp_h = throughput(*hub, Dir::CanToPc, p);
    const Throughput tpc_h = throughput(*hub, Dir::PcToCan, p);
    const Trial eq_cp_h = equal_load(*hub, Dir::CanToPc, p), eq_pc_h = equal_load(*hub, Dir::PcToCan, p);

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
    add_latency_rows(rows, "CAN->PC", cp_h, cp_f);
    add_latency_rows(rows, "PC->CAN", pc_h, pc_f);
    auto rate_cell = [](const Throughput &t) { return t.best.ok ? fmt("%.0f", t.best.offered) : std::string("none"); };
    const double r_cp_h = tcp_h.best.ok ? tcp_h.best.offered : 0, r_cp_f = tcp_f.best.ok ? tcp_f.best.offered : 0;
    const double r_pc_h = tpc_h.best.ok ? tpc_h.best.offered : 0, r_pc_f = tpc_f.best.ok ? tpc_f.best.offered : 0;
    auto cpu_cell = [](const Throughput &t) { return t.best.ok ? fmt("%.2f", t.best.cpu_us_frame) : std::string("-"); };
    const std::string eq_label = "  CPU per frame at " + fmt("%.0f", p.equal_rate) + "/s, us";
    rows.push_back({"CAN->PC throughput, frames/s", rate_cell(tcp_h), rate_cell(tcp_f), ratio(r_cp_h, r_cp_f),
                    ">= floor/2, >= 100000", yes(r_cp_h >= r_cp_f / 2 && r_cp_h >= 100000)});
    rows.push_back({"  CPU per frame at that rate, us", cpu_cell(tcp_h), cpu_cell(tcp_f),
                    ratio(tcp_h.best.cpu_us_frame, tcp_f.best.cpu_us_frame), "", ""});
    rows.push_back({"  closed loop (24 in flight), frames/s", fmt("%.0f", tcp_h.probe), fmt("%.0f", tcp_f.probe),
                    ratio(tcp_h.probe, tcp_f.probe), "", ""});
    rows.push_back({eq_label, fmt("%.2f", eq_cp_h.cpu_us_frame), fmt("%.2f", eq_cp_f.cpu_us_frame),
                    ratio(eq_cp_h.cpu_us_frame, eq_cp_f.cpu_us_frame), "", ""});
    rows.push_back({"PC->CAN throughput, frames/s", rate_cell(tpc_h), rate_cell(tpc_f), ratio(r_pc_h, r_pc_f),
                    ">= floor/2", yes(r_pc_h >= r_pc_f / 2)});
    rows.push_back({"  CPU per frame at that rate, us", cpu_cell(tpc_h), cpu_cell(tpc_f),
                    ratio(tpc_h.best.cpu_us_frame, tpc_f.best.cpu_us_frame), "", ""});
    rows.push_back({"  closed loop (24 in flight), frames/s", fmt("%.0f", tpc_h.probe), fmt("%.0f", tpc_f.probe),
                    ratio(tpc_h.probe, tpc_f.probe), "", ""});
    rows.push_back({eq_label, fmt("%.2f", eq_pc_h.cpu_us_frame), fmt("%.2f", eq_pc_f.cpu_us_frame),
                    ratio(eq_pc_h.cpu_us_frame, eq_pc_f.cpu_us_frame), "", ""});
    rows.push_back({"peak RSS (VmHWM), KiB", std::to_string(hwm_h), std::to_string(hwm_f),
                    ratio(static_cast<double>(hwm_h), static_cast<double>(hwm_f)), "<= 4096", yes(hwm_h > 0 && hwm_h <= 4096)});
    if (al.measured)
        rows.push_back({"heap allocations after start-up", std::to_string(al.connect_calls + al.traffic_calls), "-", "-",
                        "0", yes(al.connect_calls + al.traffic_calls == 0)});
    else
        rows.push_back({"heap allocations after start-up", "not measured", "-", "-", "0", "-"});

    printf("\nhub benchmark%s: %ld cores, %s, kernel %s\n", p.smoke ? " (smoke: tiny counts, figures not meaningful)" : "",
           sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(), u.release);
    printf("hub: %s; floor: one-thread relay of the same socket hops\n", p.hub.c_str());
    printf("load average (1, 5, 15 min) before the run: %s; after: %s\n\n", load_before.c_str(), loadavg().c_str());
    print_table(rows);
    printf("\n");
    printf("idle: %.1f s (floor %.1f s); hub answered %llu watchdogs and %llu GPIO requests meanwhile\n", p.idle_s,
           p.floor_idle_s, static_cast<unsigned long long>(idle_h.watchdogs),
           static_cast<unsigned long long>(idle_h.gpio_requests));
    printf("latency: %d samples each after %d warm-up; throughput: %.1f s open-loop trials, output within %.0f ms of input\n",
           p.latency_count, p.latency_warmup, p.trial_s, p.late_s * 1e3);
    for (const Throughput *t : {&tcp_h, &tcp_f, &tpc_h, &tpc_f}) {
        const char *who = (t == &tcp_h || t == &tpc_h) ? "hub" : "floor";
        const char *dir = (t == &tcp_h || t == &tcp_f) ? "CAN->PC" : "PC->CAN";
        printf("  %-5s %s probe %.0f/s; trials:", who, dir, t->probe);
        for (const Trial &tr : t->tried) printf(" %.0f%s", tr.offered, tr.ok ? " ok" : " FAIL");
        printf("\n");
        for (const Trial &tr : t->tried)
            if (!tr.ok) printf("        %.0f/s: %s\n", tr.offered, tr.why.c_str());
    }
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

}  // namespace

int main(int argc, char **argv) {
    Params p;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--relay") {
            const char *c = next(), *t = next();
            if (!c || !t) return usage();
            return run_floor_relay(atoi(c), atoi(t));
        } else if (a == "--smoke") {
            p.smoke = true;
            p.latency_count = 200;
            p.latency_warmup = 20;
            p.idle_s = 0.5;
            p.floor_idle_s = 0.2;
            p.trial_s = 0.3;
            p.probe_s = 0.1;
            p.max_trials = 1;
            p.equal_rate = 1000;
            p.equal_s = 0.2;
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
        return run(p);
    } catch (const std::exception &e) {
        fprintf(stderr, "hub_bench: %s\n", e.what());
        emergency_cleanup();
        return 1;
    }
}

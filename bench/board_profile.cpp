#include "board_profile.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "bench_report.h"
#include "bench_target.h"
#include "bench_wire.h"

namespace bench {

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t SEC = 1000000000;

// An 8-byte standard frame needs at least 111 bits on the wire (no stuff
// bits): 111 us at 1 Mbit/s. No two frames are offered closer than that.
constexpr int64_t WIRE_GAP_NS = 111 * 1000;

// The saturated bus: its frames and their acknowledgements fill it.
constexpr double SATURATED_RATE = 4500;

// The PC's status while it runs an exam; not 0, so the hub uses pollTime.
constexpr uint16_t PC_RUNNING = 2;

struct BoardTrial {
    std::string who;
    int cores = 0;
    double rate = 0;       // offered, frames a second
    double achieved = 0;   // frames sent over the time it took to send them
    uint64_t frames = 0;
    bool ok = false;
    std::string why;
    double cpu_us_frame = 0;
    double cpu_pct = 0;     // of one core, over the trial
    int64_t most_behind_ns = 0;  // the latest frame against its schedule
    Latency to_pc, to_ack;
};

// Exam frame k is due at start + k/rate and goes at its due time or one wire
// gap after the previous frame, whichever is later: a late frame is sent
// late, never in a burst.
BoardTrial paced_trial(Target &t, double rate, double seconds) {
    BoardTrial r;
    r.who = t.name_str();
    r.rate = rate;
    t.drain(20 * MS);
    const Seen s0 = t.seen;
    const uint64_t total = static_cast<uint64_t>(rate * seconds + 0.5);
    std::vector<int64_t> sent_at(total), to_pc, to_ack;
    to_pc.reserve(total);
    to_ack.reserve(total);
    FrameClock clock;
    clock.sent_at = sent_at.data();
    clock.first_seq = t.exam_sent;
    clock.first_ack = t.seen.exam_acks;
    clock.to_pc = &to_pc;
    clock.to_ack = &to_ack;
    t.clock = &clock;

    const double period = 1e9 / rate;
    const int64_t cpu0 = t.cpu_ns(), start = now_ns() + MS;
    int64_t last = start - WIRE_GAP_NS;
    for (uint64_t k = 0; k < total; ++k) {
        const int64_t due = start + static_cast<int64_t>(static_cast<double>(k) * period);
        const int64_t at = std::max(due, last + WIRE_GAP_NS);
        while (now_ns() < at) t.service(at);
        const Frame f = exam_param_frame(t.exam_sent);
        for (;;) {
            sent_at[k] = now_ns();
            clock.count = k + 1;
            if (t.send_frames(&f, 1) == 1) break;
            // The device socket is full: the target is not reading. Wait
            // for room, as a controller waits for the bus.
            clock.count = k;
            t.service(now_ns() + 10 * MS);
        }
        ++t.exam_sent;
        last = sent_at[k];
        r.most_behind_ns = std::max(r.most_behind_ns, last - due);
    }
    const int64_t sent_end = now_ns();
    t.service_until([&] { return t.seen.exam_records - s0.exam_records >= total && t.seen.exam_acks - s0.exam_acks >= total; },
                    sent_end + SEC);
    const int64_t cpu1 = t.cpu_ns(), end = now_ns();
    t.drain(50 * MS);
    t.clock = nullptr;

    r.frames = total;
    r.achieved = total > 1 ? static_cast<double>(total - 1) * 1e9 / static_cast<double>(last - start) : rate;
    r.cpu_us_frame = static_cast<double>(cpu1 - cpu0) / 1e3 / static_cast<double>(total);
    r.cpu_pct = static_cast<double>(cpu1 - cpu0) / static_cast<double>(end - start) * 100.0;
    r.to_pc = summarize(to_pc);
    r.to_ack = summarize(to_ack);
    const uint64_t recs = t.seen.exam_records - s0.exam_records, acks = t.seen.exam_acks - s0.exam_acks;
    char why[200] = "";
    if (t.seen.at_signs != s0.at_signs)
        snprintf(why, sizeof why, "%llu '@' (transmit ring full)",
                 static_cast<unsigned long long>(t.seen.at_signs - s0.at_signs));
    else if (t.seen.errors != s0.errors)
        snprintf(why, sizeof why, "%llu records out of sequence or damaged",
                 static_cast<unsigned long long>(t.seen.errors - s0.errors));
    else if (recs != total || acks != total)
        snprintf(why, sizeof why, "%llu records and %llu acknowledgements for %llu frames",
                 static_cast<unsigned long long>(recs), static_cast<unsigned long long>(acks),
                 static_cast<unsigned long long>(total));
    r.why = why;
    r.ok = r.why.empty();
    return r;
}

void pin(const cpu_set_t &set) {
    if (sched_setaffinity(0, sizeof set, &set) != 0) throw std::runtime_error("sched_setaffinity failed");
}

// The last core this process may run on: the one-core trials' core.
cpu_set_t one_core(const cpu_set_t &all) {
    int last = -1;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &all)) last = c;
    if (last < 0) throw std::runtime_error("no core to run on");
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    return one;
}

const BoardTrial *find(const std::vector<BoardTrial> &all, const std::string &who, int cores, double rate) {
    for (const BoardTrial &t : all)
        if (t.who == who && t.cores == cores && t.rate == rate) return &t;
    return nullptr;
}

// One configuration's rows: hub, floor in one thread, ratio, floor in two
// threads, ratio, target, met. Targets are judged on one core, as the board.
void add_rows(std::vector<Row> &rows, const std::vector<BoardTrial> &all, int cores, double rate, double seconds) {
    const BoardTrial *h = find(all, "hub", cores, rate), *f1 = find(all, "floor1", cores, rate),
                     *f2 = find(all, "floor2", cores, rate);
    const bool judged = cores == 1;
    const std::string head = fmt("%.0f", rate) + "/s, " + (cores == 1 ? "1 core" : std::to_string(cores) + " cores") +
                             ", " + fmt("%g", seconds) + " s";
    auto cell = [](const BoardTrial *t, auto get) { return t ? get(*t) : std::string("-"); };
    auto num = [](const BoardTrial *t, auto get) { return t ? get(*t) : -1.0; };
    // `limit`: the hub's figure at most this many times the one-thread
    // floor's; 0 judges the hub's loss-free verdict instead.
    auto row = [&](const std::string &metric, auto text, auto value, const std::string &target, double limit) {
        Row r{metric, cell(h, text), cell(f1, text), ratio(num(h, value), num(f1, value)), cell(f2, text),
              ratio(num(h, value), num(f2, value)), judged ? target : "", ""};
        if (judged && !target.empty() && h && f1) r[7] = yes(limit > 0 ? num(h, value) <= limit * num(f1, value) : h->ok);
        rows.push_back(r);
    };
    auto none = [](const BoardTrial &) { return -1.0; };
    row(head + ": loss-free", [](const BoardTrial &t) { return std::string(yes(t.ok)); }, none,
        rate == SATURATED_RATE ? "yes" : "", 0);
    row("  offered, frames/s", [](const BoardTrial &t) { return fmt("%.0f", t.achieved); },
        [](const BoardTrial &t) { return t.achieved; }, "", 0);
    row("  CPU per frame, us", [](const BoardTrial &t) { return fmt("%.2f", t.cpu_us_frame); },
        [](const BoardTrial &t) { return t.cpu_us_frame; }, "<= 1.5x floor", 1.5);
    row("  CPU, % of a core", [](const BoardTrial &t) { return fmt("%.1f", t.cpu_pct); },
        [](const BoardTrial &t) { return t.cpu_pct; }, "", 0);
    struct Way {
        const char *name;
        Latency BoardTrial::*l;
    };
    for (const Way w : {Way{"frame->PC record", &BoardTrial::to_pc}, Way{"frame->acknowledgement", &BoardTrial::to_ack}}) {
        auto p50 = [&](const BoardTrial &t) { return static_cast<double>((t.*w.l).p50) / 1e3; };
        auto p99 = [&](const BoardTrial &t) { return static_cast<double>((t.*w.l).p99) / 1e3; };
        auto mx = [&](const BoardTrial &t) { return static_cast<double>((t.*w.l).max) / 1e3; };
        row(std::string("  ") + w.name + " p50, us", [&](const BoardTrial &t) { return fmt("%.1f", p50(t)); }, p50, "", 0);
        row(std::string("  ") + w.name + " p99, us", [&](const BoardTrial &t) { return fmt("%.1f", p99(t)); }, p99,
            "<= 3x floor", 3);
        row(std::string("  ") + w.name + " max, us", [&](const BoardTrial &t) { return fmt("%.1f", mx(t)); }, mx, "", 0);
    }
    row("  latest frame behind schedule, us", [](const BoardTrial &t) { return us(t.most_behind_ns); },
        [](const BoardTrial &t) { return static_cast<double>(t.most_behind_ns) / 1e3; }, "", 0);
}

}  // namespace

int run_board(const BoardParams &p) {
    utsname u{};
    uname(&u);
    const std::string cpu = first_line_of("/proc/cpuinfo", "model name");
    const std::string load_before = loadavg();
    cpu_set_t all;
    if (sched_getaffinity(0, sizeof all, &all) != 0) throw std::runtime_error("sched_getaffinity failed");
    const cpu_set_t one = one_core(all);
    int core = 0;
    while (!CPU_ISSET(core, &one)) ++core;
    // The schedule's own precision: ppoll wakes within a microsecond, not
    // the default 50; the targets keep the default.
    set_child_timer_slack(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);

    std::vector<BoardTrial> trials;
    std::vector<std::string> loads;
    for (int cores : p.cores) {
        pin(cores == 1 ? one : all);
        for (const std::string &who : p.targets) {
            auto t = std::make_unique<Target>();
            fprintf(stderr, "board, %s: %s (load average %s)\n", cores == 1 ? ("core " + std::to_string(core)).c_str() : "all cores",
                    who.c_str(), loadavg().c_str());
            if (who == "hub") {
                t->pc_status = PC_RUNNING;
                t->start_hub(p.hub, "", HubConf::Board);
            } else {
                t->start_floor(p.self, who == "floor2" ? 2 : 1);
            }
            fprintf(stderr, "  %s pid %d\n", who.c_str(), static_cast<int>(t->pid()));
            for (double rate : p.rates) {
                BoardTrial r = paced_trial(*t, rate, p.seconds);
                r.cores = cores;
                const std::string load = loadavg();
                fprintf(stderr,
                        "  %s, %d core%s, %.0f/s for %.0f s: %s; %.2f us CPU per frame; record p50/p99 %.1f/%.1f us, "
                        "ack p50/p99 %.1f/%.1f us (load average %s)\n",
                        who.c_str(), cores, cores == 1 ? "" : "s", rate, p.seconds, r.ok ? "loss-free" : r.why.c_str(),
                        r.cpu_us_frame, static_cast<double>(r.to_pc.p50) / 1e3, static_cast<double>(r.to_pc.p99) / 1e3,
                        static_cast<double>(r.to_ack.p50) / 1e3, static_cast<double>(r.to_ack.p99) / 1e3, load.c_str());
                trials.push_back(r);
                loads.push_back(who + ", " + std::to_string(cores) + " core(s), " + fmt("%.0f", rate) + "/s: " + load);
            }
            t->stop();
        }
    }
    pin(all);

    std::vector<Row> rows;
    for (int cores : p.cores)
        for (double rate : p.rates) add_rows(rows, trials, cores, rate, p.seconds);
    printf("\nboard profile%s: exam frames paced as on a 1 Mbit/s bus (no two closer than %lld us), each\n"
           "answered with a record to the PC and an acknowledgement; %ld cores, %s, kernel %s\n",
           p.smoke ? " (smoke: tiny counts, figures not meaningful)" : "", static_cast<long long>(WIRE_GAP_NS / 1000),
           sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(), u.release);
    printf("1 core: the hub (or floor) and this benchmark pinned to core %d; floor1: one thread; floor2: a reader and a\n"
           "writer thread; loss-free: every record and acknowledgement, in order, no \"@\"; targets judged on 1 core\n",
           core);
    printf("load average (1, 5, 15 min) before the run: %s; after: %s\n\n", load_before.c_str(), loadavg().c_str());
    print_table({"metric", "hub", "floor1", "hub/floor1", "floor2", "hub/floor2", "target", "met"}, rows, 2);
    printf("\nload average after each trial:\n");
    for (const std::string &l : loads) printf("  %s\n", l.c_str());
    for (const BoardTrial &t : trials)
        if (!t.ok) printf("%s, %d core(s), %.0f/s: %s\n", t.who.c_str(), t.cores, t.rate, t.why.c_str());
    return 0;
}

}  // namespace bench

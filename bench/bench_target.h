// What the benchmark drives: the hub as a child process on device sockets the
// benchmark serves, or the floor relay (a child doing the same two socket hops
// with no hub logic). Both are reached through the same three descriptors:
// the CAN device socket, the PC's TCP connection and, for the hub, the GPIO
// device socket and the hub's standard output and error.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_wire.h"
#include "child_process.h"

namespace bench {

// Everything the receive side has seen since the target started.
struct Seen {
    uint64_t exam_records = 0;  // type-5 records, in sequence
    uint32_t next_exam_seq = 0;
    uint64_t exam_acks = 0;  // 0x287 [16 02]
    uint64_t kvma_frames = 0;  // 0x287 [12 kV mA], in sequence
    uint16_t next_kvma_seq = 0;
    uint64_t test_sel_records = 0;
    uint64_t test_sel_acks = 0;
    uint64_t watchdogs = 0;  // watchdog records, each answered at once
    uint64_t can_status_queries = 0;
    uint64_t gpio_requests = 0;
    uint64_t other_records = 0;
    uint64_t other_frames = 0;
    uint64_t errors = 0;  // out of sequence, bad checksum, malformed
    uint64_t at_signs = 0;  // '@' on the hub's standard output
    int64_t last_exam_ns = 0;  // receipt of the latest type-5 record
    int64_t last_kvma_ns = 0;  // arrival of the latest kV/mA frame
    int64_t last_ack_ns = 0;
    uint64_t events = 0;  // every packet, record and output chunk handled
};

// How the hub is configured. Bench: watchdogs every second whatever the
// PC's status, so the idle figure includes them. Board: the shipped poll
// periods (pollTime 2 s, pollTime_calibration 10 s), as on the unit.
enum class HubConf { Bench, Board };

// Times every exam frame of a paced trial from its send to its record's
// arrival and to its acknowledgement's (the k-th acknowledgement since the
// trial began answers its k-th frame).
struct FrameClock {
    const int64_t *sent_at = nullptr;  // per frame of the trial, CLOCK_MONOTONIC ns
    uint32_t first_seq = 0;
    uint64_t count = 0;  // frames sent so far in the trial
    uint64_t first_ack = 0;  // seen.exam_acks when the trial began
    std::vector<int64_t> *to_pc = nullptr, *to_ack = nullptr;
};

class Target {
public:
    Target() = default;
    Target(const Target &) = delete;
    Target &operator=(const Target &) = delete;
    ~Target();

    // The hub built with this tree, started in a fresh temporary directory
    // with its hub.conf and device sockets; returns once a PC client is
    // connected, the first watchdog is answered and a test selection has
    // been through (so PC commands are no longer forced to watchdogs).
    // `alloc_lib`, when given, is preloaded into the hub with a shared page
    // for its counters (see alloc_counters()).
    void start_hub(const std::string &hub_exe, const std::string &alloc_lib, HubConf hub_conf);
    // The floor relay: this executable again with --relay on the two sockets,
    // in one thread or in two.
    void start_floor(const std::string &self_exe, int threads);

    // Ends the child by its pid (SIGTERM, SIGKILL after a second) and reaps
    // it; removes the temporary directory. Returns the peak resident set from
    // the child's rusage in KiB (0 if it was not running).
    long stop();

    const std::string &name_str() const { return name_; }
    const char *name() const { return name_.c_str(); }
    pid_t pid() const { return child_.pid(); }
    bool is_hub() const { return is_hub_; }

    // One ppoll over every descriptor until `deadline_ns` (CLOCK_MONOTONIC)
    // or the first event, then handles everything that is ready. Throws when
    // a peer hangs up.
    void service(int64_t deadline_ns);
    // Services until `done()` or the deadline; false on timeout.
    template <class Done> bool service_until(Done done, int64_t deadline_ns) {
        while (!done()) {
            if (now_ns() >= deadline_ns) return false;
            service(deadline_ns);
        }
        return true;
    }
    // Services until nothing arrives for `quiet_ns`.
    void drain(int64_t quiet_ns);

    // Frames to the CAN device socket as 'F' packets: up to n, never
    // blocking; returns how many the socket took.
    size_t send_frames(const Frame *frames, size_t n);
    void send_frame_blocking(const Frame &f);
    // Records onto the PC connection, in order after anything pending.
    void send_pc(const uint8_t *bytes, size_t len);
    size_t pc_pending() const { return tx_len_; }

    // CPU time of the child, all threads, in ns.
    int64_t cpu_ns() const;
    // VmHWM and VmRSS of the child in KiB, from /proc/PID/status.
    long vm_kib(const char *field) const;
    // The allocation counters when preloaded: calls to malloc, calloc,
    // realloc, the aligned allocators, and bytes asked for.
    struct AllocCounts {
        uint64_t calls = 0;
        uint64_t bytes = 0;
        uint64_t frees = 0;
    };
    AllocCounts alloc_counters() const;

    Seen seen;
    uint32_t exam_sent = 0;  // sequence number of the next exam frame
    uint16_t kvma_sent = 0;  // sequence number of the next kV/mA command
    uint16_t pc_status = 0;  // sent with every watchdog answer
    FrameClock *clock = nullptr;  // set during a paced trial
    // Allocation counters once the hub's threads were all running (before
    // the PC connected), and once the PC was connected and the test
    // selection through.
    AllocCounts alloc_at_threads;
    AllocCounts alloc_at_ready;
    const std::string &hub_stdout() const { return out_text_; }
    const std::string &hub_stderr() const { return err_text_; }

private:
    void handle_can();
    void handle_gpio();
    void handle_tcp(int64_t t);
    void handle_pipe(int fd, std::string &text, bool count_at);
    void on_record(const uint8_t *rec, int64_t t);
    void on_frame(const Frame &f, int64_t t);
    void flush_pc();
    void connect_pc(uint16_t port, int64_t deadline);

    std::string name_;
    bool is_hub_ = false;
    tools::ChildProcess child_;
    bool stopped_ = false;
    int can_ = -1, gpio_ = -1, tcp_ = -1, out_ = -1, err_ = -1;
    std::unique_ptr<tools::TempDir> dir_;  // the hub's folder: its configuration and device sockets
    bool can_wants_out_ = false;
    uint8_t rx_[1 << 16];
    size_t rx_len_ = 0;
    uint8_t tx_[1 << 20];
    size_t tx_len_ = 0;
    std::string out_text_, err_text_;
    uint32_t gpio_word0_ = 0, gpio_bits_ = 0;
    void *alloc_page_ = nullptr;
};

// The timer slack the children get (the benchmark may run with a tighter
// one for its own schedule); 0 leaves them the benchmark's.
void set_child_timer_slack(long ns);

// For a signal handler: the next wait of any target throws, so that every
// target is stopped and its folder removed as the stack unwinds.
void interrupt();

}  // namespace bench

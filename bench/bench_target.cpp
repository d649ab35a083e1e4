#include "bench_target.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "child_process.h"
#include "pc_link.h"

namespace bench {

namespace {

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what + ": " + strerror(errno)); }

volatile sig_atomic_t g_interrupted = 0;

void check_interrupt() {
    if (g_interrupted) throw std::runtime_error("interrupted");
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int unix_listener(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0) fail("socket(AF_UNIX)");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long: " + path);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) fail("bind " + path);
    if (listen(s, 4) != 0) fail("listen " + path);
    return s;
}

int accept_by(int listener, int64_t deadline, const char *what) {
    pollfd p{listener, POLLIN, 0};
    while (true) {
        int64_t left = deadline - now_ns();
        if (left <= 0) throw std::runtime_error(std::string("the hub did not connect to the ") + what + " device socket");
        timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno != EINTR) fail("ppoll");
        check_interrupt();
        if (r > 0) break;
    }
    int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) fail("accept");
    return s;
}

uint16_t pick_port() {
    const uint16_t port = pcclient::free_port();
    if (port == 0) fail("bind 127.0.0.1:0");
    return port;
}

void tcp_tune(int s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A connected TCP pair on loopback: the PC's end and the relay's end.
void tcp_pair(int *client, int *server) {
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l < 0 || bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        fail("loopback listener");
    *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*client < 0 || connect(*client, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) fail("connect loopback");
    *server = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    if (*server < 0) fail("accept loopback");
    close(l);
    tcp_tune(*client);
    tcp_tune(*server);
}

long g_child_slack = 0;

// The child inherits the timer slack it is spawned with: the benchmark's
// own is set back to the children's for the spawn.
class ChildSlack {
public:
    ChildSlack() : own_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
        if (g_child_slack > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(g_child_slack), 0, 0, 0);
    }
    ~ChildSlack() { prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(own_), 0, 0, 0); }
    ChildSlack(const ChildSlack &) = delete;
    ChildSlack &operator=(const ChildSlack &) = delete;

private:
    long own_;
};

const char *const ALLOC_FD_ENV = "HUB_BENCH_ALLOC_FD";
constexpr int ALLOC_FD = 100;  // where the shared page's descriptor lands in the hub

}  // namespace

void set_child_timer_slack(long ns) { g_child_slack = ns; }

void interrupt() { g_interrupted = 1; }

Target::~Target() {
    try {
        stop();
    } catch (...) {
    }
}

void Target::start_hub(const std::string &hub_exe, const std::string &alloc_lib, HubConf hub_conf) {
    name_ = "hub";
    is_hub_ = true;
    dir_ = std::make_unique<tools::TempDir>("hub-bench");
    const std::string can_path = dir_->file("can.sock"), gpio_path = dir_->file("gpio.sock");
    int can_l = unix_listener(can_path);
    int gpio_l = unix_listener(gpio_path);
    const uint16_t port = pick_port();

    // No traces, so stdout carries only the fixed lines.
    char conf[512];
    snprintf(conf, sizeof conf,
             "verbose = false\nsyslog = false\nsimulator = false\ntemperature = false\ndisplay = false\n"
             "canDevice = \"%s\"\ngpioDevice = \"%s\"\nserverPort = %u\n%s",
             can_path.c_str(), gpio_path.c_str(), static_cast<unsigned>(port),
             hub_conf == HubConf::Bench ? "pollTime = 1\npollTime_calibration = 1\n" : "");
    tools::write_text_file(dir_->file("hub.conf"), conf);

    int alloc_fd = -1;
    if (!alloc_lib.empty()) {
        alloc_fd = memfd_create("hub-bench-alloc", MFD_CLOEXEC);
        if (alloc_fd < 0 || ftruncate(alloc_fd, 4096) != 0) fail("memfd_create");
        alloc_page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, alloc_fd, 0);
        if (alloc_page_ == MAP_FAILED) fail("mmap");
    }

    int out_pipe[2], err_pipe[2];
    tools::open_pipe(out_pipe);
    tools::open_pipe(err_pipe);
    // The hub finds no program on PATH, so nothing it might run by name can
    // reach the real system.
    tools::SpawnOptions spawn;
    spawn.argv = {hub_exe};
    spawn.env = {"PATH=" + dir_->path()};
    if (alloc_fd >= 0) {
        spawn.env.push_back("LD_PRELOAD=" + alloc_lib);
        spawn.env.push_back(std::string(ALLOC_FD_ENV) + "=" + std::to_string(ALLOC_FD));
        spawn.fds.push_back({ALLOC_FD, alloc_fd});
    }
    spawn.dir = dir_->path();
    spawn.fds.push_back({1, out_pipe[1]});
    spawn.fds.push_back({2, err_pipe[1]});
    {
        ChildSlack slack;
        child_.start(spawn);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (alloc_fd >= 0) close(alloc_fd);
    out_ = out_pipe[0];
    err_ = err_pipe[0];
    set_nonblocking(out_);
    set_nonblocking(err_);

    const int64_t t0 = now_ns();
    can_ = accept_by(can_l, t0 + 5000000000LL, "CAN");
    gpio_ = accept_by(gpio_l, t0 + 5000000000LL, "GPIO");
    close(can_l);
    close(gpio_l);

    // The hub asks for the controller's status a second after it starts and
    // starts its threads once it has the answer (0).
    if (!service_until([&] { return seen.can_status_queries > 0; }, t0 + 5000000000LL))
        throw std::runtime_error("the hub never queried the CAN controller's status");
    // The GPIO thread, started last, sets the sensor-ready line first thing:
    // from then on every thread is running.
    if (!service_until([&] { return seen.gpio_requests > 0; }, now_ns() + 3000000000LL))
        throw std::runtime_error("the hub's GPIO thread never asked anything");
    alloc_at_threads = alloc_counters();
    connect_pc(port, now_ns() + 5000000000LL);
    // The first watchdog comes 100 ms after the connection.
    if (!service_until([&] { return seen.watchdogs > 0; }, now_ns() + 3000000000LL))
        throw std::runtime_error("no watchdog from the hub");
    // A test selection from the CPU node: from now on PC records are taken
    // for what they are, and the hub acknowledges it.
    Frame sel;
    sel.id = ID_TEST_SEL;
    sel.length = 8;
    for (uint8_t i = 0; i < 8; ++i) sel.data[i] = static_cast<uint8_t>(i + 1);
    send_frame_blocking(sel);
    if (!service_until([&] { return seen.test_sel_records > 0 && seen.test_sel_acks > 0; }, now_ns() + 3000000000LL))
        throw std::runtime_error("the test selection was not reported and acknowledged");
    alloc_at_ready = alloc_counters();
}

void Target::connect_pc(uint16_t port, int64_t deadline) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    for (;;) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) fail("socket");
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            tcp_ = s;
            tcp_tune(tcp_);
            set_nonblocking(tcp_);
            return;
        }
        int e = errno;
        close(s);
        errno = e;
        if (e != ECONNREFUSED) fail("connect to the hub");
        if (now_ns() >= deadline) throw std::runtime_error("the hub's TCP server never listened");
        // Its listener comes up just after the controller's answer; the
        // device sockets are served meanwhile.
        service(now_ns() + 1000000);
    }
}

void Target::start_floor(const std::string &self_exe, int threads) {
    name_ = threads == 2 ? "floor2" : "floor1";
    is_hub_ = false;
    int dev[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, dev) != 0) fail("socketpair");
    int pc_client, pc_relay;
    tcp_pair(&pc_client, &pc_relay);
    tools::SpawnOptions spawn;
    spawn.argv = {self_exe, "--relay", "3", "4", threads == 2 ? "2" : "1"};
    spawn.fds = {{3, dev[1]}, {4, pc_relay}};
    {
        ChildSlack slack;
        child_.start(spawn);
    }
    close(dev[1]);
    close(pc_relay);
    can_ = dev[0];
    tcp_ = pc_client;
    set_nonblocking(tcp_);
}

long Target::stop() {
    long maxrss = 0;
    if (child_.started() && !stopped_) {
        child_.stop(std::chrono::milliseconds(1000));
        maxrss = child_.usage().ru_maxrss;
        stopped_ = true;
    }
    for (int *fd : {&can_, &gpio_, &tcp_, &out_, &err_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    if (alloc_page_) {
        munmap(alloc_page_, 4096);
        alloc_page_ = nullptr;
    }
    dir_.reset();
    return maxrss;
}

void Target::service(int64_t deadline_ns) {
    pollfd p[5];
    int n = 0;
    int i_can = -1, i_gpio = -1, i_tcp = -1, i_out = -1, i_err = -1;
    if (can_ >= 0) {
        i_can = n;
        p[n++] = {can_, static_cast<short>(POLLIN | (can_wants_out_ ? POLLOUT : 0)), 0};
    }
    if (gpio_ >= 0) {
        i_gpio = n;
        p[n++] = {gpio_, POLLIN, 0};
    }
    if (tcp_ >= 0) {
        i_tcp = n;
        p[n++] = {tcp_, static_cast<short>(POLLIN | (tx_len_ ? POLLOUT : 0)), 0};
    }
    if (out_ >= 0) {
        i_out = n;
        p[n++] = {out_, POLLIN, 0};
    }
    if (err_ >= 0) {
        i_err = n;
        p[n++] = {err_, POLLIN, 0};
    }
    int64_t left = deadline_ns - now_ns();
    if (left < 0) left = 0;
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    int r = ppoll(p, static_cast<nfds_t>(n), &ts, nullptr);
    check_interrupt();
    if (r < 0) {
        if (errno == EINTR) return;
        fail("ppoll");
    }
    if (r == 0) return;
    ++seen.events;
    const int64_t t = now_ns();
    if (i_tcp >= 0 && p[i_tcp].revents) {
        if (p[i_tcp].revents & POLLOUT) flush_pc();
        if (p[i_tcp].revents & (POLLIN | POLLHUP | POLLERR)) handle_tcp(t);
    }
    if (i_can >= 0 && p[i_can].revents) {
        if (p[i_can].revents & POLLOUT) can_wants_out_ = false;
        if (p[i_can].revents & (POLLIN | POLLHUP | POLLERR)) handle_can();
    }
    if (i_gpio >= 0 && p[i_gpio].revents) handle_gpio();
    if (i_out >= 0 && p[i_out].revents) handle_pipe(out_, out_text_, true);
    if (i_err >= 0 && p[i_err].revents) handle_pipe(err_, err_text_, false);
}

void Target::drain(int64_t quiet_ns) {
    for (;;) {
        const uint64_t before = seen.events;
        const int64_t deadline = now_ns() + quiet_ns;
        while (now_ns() < deadline) service(deadline);
        if (seen.events == before && tx_len_ == 0) return;
    }
}

void Target::handle_can() {
    constexpr unsigned BATCH = 64;
    uint8_t bufs[BATCH][64];
    iovec iov[BATCH];
    mmsghdr msgs[BATCH];
    for (;;) {
        for (unsigned i = 0; i < BATCH; ++i) {
            iov[i] = {bufs[i], sizeof bufs[i]};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(can_, msgs, BATCH, MSG_DONTWAIT, nullptr);
        const int64_t t = now_ns();
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            fail(std::string(name_) + ": CAN device socket");
        }
        if (n == 0) throw std::runtime_error(std::string(name_) + " hung up its CAN device socket");
        for (int i = 0; i < n; ++i) {
            const uint8_t *pkt = bufs[i];
            const size_t len = msgs[i].msg_len;
            if (len == 0) throw std::runtime_error(std::string(name_) + " hung up its CAN device socket");
            if (pkt[0] == PKT_WRITE && len == PKT_FRAME_SIZE) {
                on_frame(get_frame_packet(pkt), t);
            } else if (pkt[0] == PKT_IOCTL && len == 9) {
                // The controller's status word: 0, initialised.
                ++seen.can_status_queries;
                uint8_t reply[9] = {PKT_RESULT, 0, 0, 0, 0, 0, 0, 0, 0};
                if (send(can_, reply, sizeof reply, MSG_NOSIGNAL) != sizeof reply) fail("CAN status answer");
            } else {
                ++seen.errors;
            }
        }
        if (n < static_cast<int>(BATCH)) return;
    }
}

void Target::handle_gpio() {
    for (;;) {
        uint8_t pkt[64];
        ssize_t n = recv(gpio_, pkt, sizeof pkt, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            fail("GPIO device socket");
        }
        if (n == 0) throw std::runtime_error("the hub hung up its GPIO device socket");
        if (pkt[0] != PKT_IOCTL || n < 5) {
            ++seen.errors;
            continue;
        }
        ++seen.gpio_requests;
        uint32_t req;
        memcpy(&req, pkt + 1, 4);
        const size_t arg = static_cast<size_t>(n) - 5;
        uint8_t reply[64];
        reply[0] = PKT_RESULT;
        int32_t result = 0;
        memcpy(reply + 5, pkt + 5, arg);
        uint32_t word = 0;
        if (arg >= 4) memcpy(&word, pkt + 5, 4);
        switch (req) {
        case 0:  // read the output record
            memcpy(reply + 5, &gpio_word0_, 4);
            memcpy(reply + 9, &gpio_bits_, 4);
            break;
        case 1:  // write it
            memcpy(&gpio_word0_, pkt + 5, 4);
            memcpy(&gpio_bits_, pkt + 9, 4);
            break;
        case 3: reply[5] = 50; break;  // 25 degrees
        case 7: gpio_bits_ |= word; break;
        case 8: gpio_bits_ &= ~word; break;
        default: result = -1; break;
        }
        memcpy(reply + 1, &result, 4);
        if (send(gpio_, reply, 5 + arg, MSG_NOSIGNAL) < 0) fail("GPIO answer");
    }
}

void Target::handle_tcp(int64_t t) {
    for (;;) {
        ssize_t n = recv(tcp_, rx_ + rx_len_, sizeof rx_ - rx_len_, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
            fail(std::string(name_) + ": PC connection");
        }
        if (n == 0) throw std::runtime_error(std::string(name_) + " closed the PC connection");
        rx_len_ += static_cast<size_t>(n);
        size_t off = 0;
        for (; rx_len_ - off >= HUB_TO_PC_SIZE; off += HUB_TO_PC_SIZE) on_record(rx_ + off, t);
        memmove(rx_, rx_ + off, rx_len_ - off);
        rx_len_ -= off;
        if (static_cast<size_t>(n) < sizeof rx_ - rx_len_) break;
    }
    flush_pc();
}

void Target::on_record(const uint8_t *rec, int64_t t) {
    if (!record_checksum_ok(rec)) {
        ++seen.errors;
        return;
    }
    switch (get_le16(rec, hub_to_pc::MsgType)) {
    case MSG_TYPE_WATCHDOG: {
        ++seen.watchdogs;
        uint8_t answer[PC_TO_HUB_SIZE];
        watchdog_record(answer, pc_status);
        send_pc(answer, sizeof answer);
        break;
    }
    case MSG_TYPE_EXAM_PARAM:
        if (exam_param_seq(rec) != seen.next_exam_seq || !exam_param_fixed_ok(rec)) ++seen.errors;
        seen.next_exam_seq = exam_param_seq(rec) + 1;
        ++seen.exam_records;
        seen.last_exam_ns = t;
        if (clock && exam_param_seq(rec) - clock->first_seq < clock->count)
            clock->to_pc->push_back(t - clock->sent_at[exam_param_seq(rec) - clock->first_seq]);
        break;
    case MSG_TYPE_TEST_SEL: ++seen.test_sel_records; break;
    default: ++seen.other_records; break;
    }
}

void Target::on_frame(const Frame &f, int64_t t) {
    if (f.id != ID_HUB_TO_CPU) {
        ++seen.other_frames;
        return;
    }
    if (f.length == 2 && f.data[0] == MSG_ACK && f.data[1] == ACK_EXAM_PARAM) {
        if (clock && seen.exam_acks - clock->first_ack < clock->count)
            clock->to_ack->push_back(t - clock->sent_at[seen.exam_acks - clock->first_ack]);
        ++seen.exam_acks;
        seen.last_ack_ns = t;
    } else if (f.length == 2 && f.data[0] == MSG_ACK && f.data[1] == ACK_TEST_SEL) {
        ++seen.test_sel_acks;
    } else if (f.length == 3 && f.data[0] == MSG_CHANGE_KV_MA) {
        const uint16_t seq = static_cast<uint16_t>(f.data[1] | (f.data[2] << 8));
        if (seq != seen.next_kvma_seq) ++seen.errors;
        seen.next_kvma_seq = static_cast<uint16_t>(seq + 1);
        ++seen.kvma_frames;
        seen.last_kvma_ns = t;
    } else {
        ++seen.other_frames;
    }
}

void Target::handle_pipe(int fd, std::string &text, bool count_at) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0) {  // the child has gone: stop watching the pipe
                close(fd);
                (fd == out_ ? out_ : err_) = -1;
            }
            return;
        }
        if (count_at)
            for (ssize_t i = 0; i < n; ++i) seen.at_signs += buf[i] == '@';
        // Kept for a report on failure; an endless stream is cut.
        if (text.size() < 65536) text.append(buf, static_cast<size_t>(n));
    }
}

size_t Target::send_frames(const Frame *frames, size_t n) {
    constexpr size_t BATCH = 64;
    uint8_t bufs[BATCH][PKT_FRAME_SIZE];
    iovec iov[BATCH];
    mmsghdr msgs[BATCH];
    size_t done = 0;
    while (done < n) {
        const size_t k = n - done < BATCH ? n - done : BATCH;
        for (size_t i = 0; i < k; ++i) {
            put_frame_packet(bufs[i], PKT_FRAME, frames[done + i]);
            iov[i] = {bufs[i], PKT_FRAME_SIZE};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int r = sendmmsg(can_, msgs, static_cast<unsigned>(k), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                can_wants_out_ = true;
                return done;
            }
            fail("send to the CAN device socket");
        }
        done += static_cast<size_t>(r);
        if (static_cast<size_t>(r) < k) {
            can_wants_out_ = true;
            return done;
        }
    }
    return done;
}

void Target::send_frame_blocking(const Frame &f) {
    uint8_t pkt[PKT_FRAME_SIZE];
    put_frame_packet(pkt, PKT_FRAME, f);
    if (send(can_, pkt, sizeof pkt, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof pkt)) fail("send to the CAN device socket");
}

void Target::send_pc(const uint8_t *bytes, size_t len) {
    if (tx_len_ + len > sizeof tx_) throw std::runtime_error("PC send buffer overflow");
    memcpy(tx_ + tx_len_, bytes, len);
    tx_len_ += len;
    flush_pc();
}

void Target::flush_pc() {
    while (tx_len_ > 0) {
        ssize_t n = send(tcp_, tx_, tx_len_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            fail(std::string(name_) + ": send on the PC connection");
        }
        memmove(tx_, tx_ + n, tx_len_ - static_cast<size_t>(n));
        tx_len_ -= static_cast<size_t>(n);
    }
}

int64_t Target::cpu_ns() const {
    clockid_t clk;
    if (clock_getcpuclockid(pid(), &clk) != 0) fail("clock_getcpuclockid");
    timespec ts;
    if (clock_gettime(clk, &ts) != 0) fail("clock_gettime(cpu clock)");
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long Target::vm_kib(const char *field) const {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid()));
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    const size_t flen = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, flen) == 0 && line[flen] == ':') v = strtol(line + flen + 1, nullptr, 10);
    fclose(f);
    return v;
}

Target::AllocCounts Target::alloc_counters() const {
    AllocCounts a;
    if (!alloc_page_) return a;
    // The page's layout: see alloc_count.c.
    const volatile uint64_t *w = static_cast<const volatile uint64_t *>(alloc_page_);
    a.calls = w[0];
    a.bytes = w[1];
    a.frees = w[2];
    return a;
}

}  // namespace bench

#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_rx_qsd.h"
#include "can/thread_can_read.h"
#include "can/thread_can_write.h"
#include "gpio/thread_gpio.h"
#include "hub_cfg.h"
#include "pc/hub_to_pc.h"
#include "pc/pc_reports.h"
#include "pc/thread_tcp_server.h"
#include "platform/sem_lock.h"
#include "platform/trace.h"
#include "sm/cpu_sm.h"

namespace fuzzsupport {
namespace {

int pc_end = -1, hub_end = -1;  // the PC's socket pair: ours, and clientSocket's
int can_pipe[2] = {-1, -1};
std::string stub_dir;  // holds the stub `ifconfig`
// Bytes of a hub-to-PC record not yet complete (the stream has no framing).
uint8_t partial[HUB_TO_PC_SIZE];
size_t partial_len = 0;

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "fuzz harness: %s: %s\n", what, strerror(errno));
    abort();
}

// Formatted as syslog() would, then dropped: format and arguments checked.
__attribute__((format(printf, 1, 0))) void format_syslog(const char *fmt, va_list ap) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
}

// In $TMPDIR when set (the smoke stage points it into its own scratch folder).
void put_stub_ifconfig_first_on_path() {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/hub-fuzz-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) die("mkdtemp");
    stub_dir = templ;
    atexit([] {
        unlink((stub_dir + "/ifconfig").c_str());
        rmdir(stub_dir.c_str());
    });
    FILE *f = fopen((stub_dir + "/ifconfig").c_str(), "w");
    if (f == nullptr) die("stub ifconfig");
    fputs("#!/bin/sh\nexit 0\n", f);
    fclose(f);
    if (chmod((stub_dir + "/ifconfig").c_str(), 0755) != 0) die("chmod");
    const char *path = getenv("PATH");
    setenv("PATH", (stub_dir + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
}

void check_pc_stream(const uint8_t *data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        partial[partial_len++] = data[i];
        if (partial_len < HUB_TO_PC_SIZE) continue;
        partial_len = 0;
        if (get_be16(partial, hub_to_pc::Checksum) != hub_to_pc_checksum(partial)) {
            fprintf(stderr, "fuzz harness: a hub-to-PC record left with a wrong checksum\n");
            abort();
        }
    }
}

void drain_can_pipe() {
    CanFrame f;
    while (read(can_pipe[0], &f, sizeof f) == static_cast<ssize_t>(sizeof f)) {
        if (f.id != ID_HUB_TO_CPU || f.length > 8) {
            fprintf(stderr, "fuzz harness: the hub sent frame id %#x length %u\n", static_cast<unsigned>(f.id),
                    static_cast<unsigned>(f.length));
            abort();
        }
    }
}

}  // namespace

void init_hub_runtime() {
    // As start-up does (system log, stdout line-buffered), then stdout to /dev/null.
    trace_open();
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) die("/dev/null");
    close(null_fd);
    trace_set_syslog_writer(format_syslog);

    sem_init(&TcpSem, 0, 1);
    can_tx_init();
    can_rx_init();

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) die("socketpair");
    hub_end = sv[0];
    pc_end = sv[1];
    clientSocket.store(hub_end);
    if (pipe2(can_pipe, O_CLOEXEC | O_NONBLOCK) != 0) die("pipe2");

    // The sensor-ready line's requests go to /dev/null, which refuses them all.
    static int gpio_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    gpio_attach(&gpio_fd);

    put_stub_ifconfig_first_on_path();
    tcp_server_prepare_record();
}

void set_switches(bool verbose, bool syslog, bool simulator, bool display) {
    Hub_Config.verbose = verbose ? cfg_true : cfg_false;
    Hub_Config.syslog = syslog ? cfg_true : cfg_false;
    Hub_Config.simulator = simulator ? cfg_true : cfg_false;
    Hub_Config.display = display ? cfg_true : cfg_false;
}

void set_word8(uint16_t value) {
    SemLock lock(TcpSem);
    hub_to_pc_set16(hub_to_pc::Word8, value);
}

void drain_outputs() {
    // A pipe holds far more than the ring's 31 frames: drain as we go.
    while (can_tx_pass(can_pipe[1]) != 0) drain_can_pipe();
    drain_can_pipe();
    uint8_t buffer[4096];
    for (ssize_t n; (n = recv(pc_end, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        check_pc_stream(buffer, static_cast<size_t>(n));
}

void reset_hub_state() {
    set_switches(false, false, false, false);
    set_pc_connected(true);
    drain_outputs();
    // Both display lines complete with acknowledgement: their bits go back to 0.
    static constexpr uint8_t kText[7] = {};
    for (uint8_t line = 0; line < 2; ++line)
        for (uint8_t segment : {16, 32, 48}) tcp_server_send_display_line(line, segment, kText, 1);
    can_set_DateTime(CanFrame{0x267, 0, {}, {}});  // the start time back to zero
    {
        SemLock lock(TcpSem);
        memset(G_HubToPc, 0, sizeof G_HubToPc);
    }
    tcp_server_prepare_record();
    // The calibration time is copied from the (now zero) date fields.
    tcp_server_set_calibration_time();
    verify_PCStatus(0);
    tcp_server_reset_watchdog();
    cpu_sm_init();
    cpu_sm_store_command(0);
    drain_outputs();
    partial_len = 0;
}

void set_pc_connected(bool connected) {
    SemLock lock(TcpSem);
    clientSocket.store(connected ? hub_end : -1);
}

}  // namespace fuzzsupport

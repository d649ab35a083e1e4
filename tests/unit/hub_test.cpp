#include "hub_test.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "can/frame_text.h"
#include "can/thread_can_write.h"
#include "hub_cfg.h"
#include "pc/hub_to_pc.h"
#include "pc/thread_tcp_server.h"
#include "platform/trace.h"
#include "sm/cpu_sm.h"

namespace {
std::mutex SyslogLock;
Lines SyslogRecords;

void capture_syslog(const char *fmt, va_list ap) {
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
    std::lock_guard<std::mutex> guard(SyslogLock);
    SyslogRecords.emplace_back(text);
}
}  // namespace

std::string cansend(const CanFrame &f) {
    char text[FRAME_TEXT_MAX];
    frame_to_cansend(text, sizeof text, f);
    return text;
}

void HubTest::SetUp() {
    static std::once_flag once;
    std::call_once(once, [] {
        sem_init(&TcpSem, 0, 1);
        can_tx_init();
    });
    hub_reset_configuration();
    trace_set_syslog_writer(capture_syslog);
    written_records();  // whatever an earlier test left queued
    syslog_records();
    memset(G_HubToPc, 0, sizeof G_HubToPc);
    Cpu_data.state = PRE_OP;
    Cpu_data.command = 0;
    tcp_server_reset_watchdog();
    verify_PCStatus(0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    clientSocket = hub_end_ = sv[0];
    pc_end_ = sv[1];
}

void HubTest::TearDown() {
    clientSocket = -1;
    close(hub_end_);
    close(pc_end_);
    trace_set_syslog_writer(nullptr);
    hub_reset_configuration();
}

void HubTest::set_tracing(bool verbose, bool syslog) {
    Hub_Config.verbose = verbose ? cfg_true : cfg_false;
    Hub_Config.syslog = syslog ? cfg_true : cfg_false;
}

std::vector<CanFrame> HubTest::written_records() {
    int p[2];
    std::vector<CanFrame> out;
    if (pipe2(p, O_CLOEXEC) != 0) return out;
    CanFrame f;
    while (can_tx_pass(p[1]) == 1 && read(p[0], &f, sizeof f) == static_cast<ssize_t>(sizeof f)) out.push_back(f);
    close(p[0]);
    close(p[1]);
    return out;
}

Lines HubTest::sent_frames() {
    Lines out;
    for (const CanFrame &f : written_records()) out.push_back(cansend(f));
    return out;
}

std::vector<Record> HubTest::pc_records() {
    Bytes all;
    uint8_t buf[1024];
    for (ssize_t n; (n = recv(pc_end_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) all.insert(all.end(), buf, buf + n);
    EXPECT_EQ(all.size() % HUB_TO_PC_SIZE, 0u) << "a record sent in part";
    std::vector<Record> out(all.size() / HUB_TO_PC_SIZE);
    for (size_t i = 0; i < out.size(); ++i) memcpy(out[i].data(), all.data() + i * HUB_TO_PC_SIZE, HUB_TO_PC_SIZE);
    return out;
}

Lines HubTest::syslog_records() {
    std::lock_guard<std::mutex> guard(SyslogLock);
    return std::exchange(SyslogRecords, {});
}

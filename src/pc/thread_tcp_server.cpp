#include "pc/thread_tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gpio/thread_gpio.h"
#include "hub_cfg.h"
#include "pc/hub_to_pc.h"
#include "pc/pc_dispatch.h"
#include "platform/trace.h"

namespace {

constexpr int LISTEN_BACKLOG = 5;
constexpr long FIRST_WATCHDOG_US = 100000;
constexpr int MISSES_TO_DROP = 3;
// Longest a record may wait for room in a PC's connection; a PC that has not
// read for that long (its connection holds megabytes by then) is dropped
// (tcpSendMessage).
constexpr timeval SEND_TIMEOUT{1, 0};

int SocketServer = -1;
sockaddr_in s_sin{};
sockaddr_in cin{};
socklen_t addrlen = 0;

// Status the PC last reported; TCP server thread only.
uint16_t LocalPcStatus = 0;
// 1 while a watchdog waits for its answer. Both counters are this thread's.
int G_recv = 1;
int test_tcp = 0;

[[noreturn]] void fatal(const char *label) {
    report_error(label);
    exit(1);
}

void open_listener() {
    s_sin.sin_family = AF_INET;
    s_sin.sin_addr.s_addr = htonl(INADDR_ANY);
    s_sin.sin_port = htons(static_cast<uint16_t>(Hub_Config.serverPort & 0xFFFF));

    // Close-on-exec: the shell and ifconfig of the Ethernet order get
    // neither the listener nor the PC's connection.
    SocketServer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (SocketServer == -1) fatal("socket");
    int one = 1;
    if (setsockopt(SocketServer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) fatal("sockOpt");
    // A restarted hub binds at once although the connection it closed last
    // sits in TIME_WAIT; a listener of another process still makes bind fail.
    if (setsockopt(SocketServer, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) fatal("sockOpt");
    if (bind(SocketServer, reinterpret_cast<sockaddr *>(&s_sin), sizeof s_sin) == -1) fatal("bind");
    if (listen(SocketServer, LISTEN_BACKLOG) == -1) fatal("listen");
}

// Closes the PC's socket under TcpSem, so no report is ever sent on a
// descriptor number that something else has been given meanwhile.
void close_client(bool tcp_sem_held) {
    if (!tcp_sem_held) SemLock::sem_wait_intr(TcpSem);
    close(clientSocket.exchange(-1));
    if (!tcp_sem_held) sem_post(&TcpSem);
}

bool accept_error_is_transient(int e) {
    switch (e) {
    case EINTR: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

long watchdog_period_s() {
    return LocalPcStatus == 0 ? static_cast<long>(Hub_Config.pollTime_calibration) : static_cast<long>(Hub_Config.pollTime);
}

// Serves one PC until it is dropped.
void serve_client() {
    uint8_t record[PC_TO_HUB_SIZE] = {};  // reused without clearing
    timeval wait{0, FIRST_WATCHDOG_US};
    for (;;) {
        int fd = clientSocket.load();
        fd_set readset;
        FD_ZERO(&readset);
        FD_SET(fd, &readset);
        // Linux leaves the unused time in `wait`: records from the PC do not
        // postpone the next watchdog.
        if (select(FD_SETSIZE, &readset, nullptr, nullptr, &wait) < 0) fatal("select");

        if (!FD_ISSET(fd, &readset)) {
            SemLock lock(TcpSem);
            if (tcp_server_send_watchdog() != 0) {
                close_client(true);
                report_error("Watchdog");
                verify_PCStatus(0);
                return;
            }
            wait = timeval{static_cast<time_t>(watchdog_period_s()), 0};
            continue;
        }

        ssize_t got = recv(fd, record, sizeof record, 0);
        trace("recv retval: %d\n", static_cast<int>(got));
        if (got < 0) {
            int e = errno;
            close_client(false);
            errno = e;
            report_error("recv");
            verify_PCStatus(0);
            return;
        }
        if (got == 0) {
            close_client(false);
            report_error("Time Out");
            verify_PCStatus(0);
            return;
        }
        if (tcp_server_recive_message(record) < 0) {
            close_client(false);
            trace_line("Close Client Socket!");
            verify_PCStatus(0);
            return;
        }
    }
}

}  // namespace

void tcp_server_prepare_record() {
    SemLock lock(TcpSem);
    // Nine bytes with the terminator: it lands on the checksum, which every
    // send recomputes.
    snprintf(reinterpret_cast<char *>(G_HubToPc + hub_to_pc::Model), 9, "%s", "  ZELT 4");
    hub_to_pc_set16(hub_to_pc::Word8, 6);
}

void tcp_server_reset_watchdog() {
    G_recv = 1;
    test_tcp = 0;
}

void tcp_server_watchdog_answered() { G_recv = 0; }

uint16_t tcp_server_pc_status() { return LocalPcStatus; }

int tcp_server_send_watchdog() {
    hub_to_pc_set16(hub_to_pc::MsgType, MSG_TYPE_WATCHDOG);
    char line0[hub_to_pc::LineWidth + 1];
    char line1[hub_to_pc::LineWidth + 1];
    memcpy(line0, G_HubToPc + hub_to_pc::Line0, hub_to_pc::LineWidth);
    memcpy(line1, G_HubToPc + hub_to_pc::Line1, hub_to_pc::LineWidth);
    line0[hub_to_pc::LineWidth] = line1[hub_to_pc::LineWidth] = '\0';
    trace("WD(0):%s\n", line0);
    trace("WD(1):%s\n", line1);
    (void)tcpSendMessage();
    if (G_recv == 0) {
        test_tcp = 0;
        G_recv = 1;
    } else {
        ++test_tcp;
    }
    return test_tcp >= MISSES_TO_DROP ? -1 : 0;
}

void verify_PCStatus(uint16_t status) {
    if (status == LocalPcStatus) return;
    trace("PC change status: from: %d, to %d\n", LocalPcStatus, status);
    LocalPcStatus = status;
    if (status == 0) sensorReadyPanIo(1);
    else if (status == 1) sensorReadyPanIo(0);
}

void *tcp_server_thread(void *) {
    // The record was prepared by start-up (tcp_server_prepare_record).
    trace_line("Thread \"tcp_server_thread\"");
    open_listener();
    for (;;) {
        addrlen = sizeof cin;
        int fd = accept4(SocketServer, reinterpret_cast<sockaddr *>(&cin), &addrlen, SOCK_CLOEXEC);
        // A connection that dies before it is taken is the PC's trouble,
        // not the hub's: only a failure of the listener itself is fatal.
        if (fd == -1 && accept_error_is_transient(errno)) continue;
        if (fd == -1) fatal("accept");
        (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &SEND_TIMEOUT, sizeof SEND_TIMEOUT);
        clientSocket.store(fd);
        console_and_log("Server: connect from host %s, port %u, cS %d.\n", inet_ntoa(cin.sin_addr),
                        static_cast<unsigned>(ntohs(cin.sin_port)), fd);
        // Every PC starts as the first one did: a dropped PC can come back.
        tcp_server_reset_watchdog();
        serve_client();
    }
}

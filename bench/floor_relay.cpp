#include "floor_relay.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "bench_wire.h"

namespace bench {

namespace {

bool send_all(int fd, const uint8_t *p, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool send_frame(int can_fd, const Frame &f) {
    uint8_t pkt[PKT_FRAME_SIZE];
    put_frame_packet(pkt, PKT_WRITE, f);
    return send(can_fd, pkt, sizeof pkt, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof pkt);
}

// Every waiting frame: a record to the PC, an acknowledge to the device.
// Returns false when the device has hung up.
bool from_device(int can_fd, int tcp_fd) {
    for (;;) {
        uint8_t pkt[64];
        ssize_t n = recv(can_fd, pkt, sizeof pkt, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0) return false;
        if (pkt[0] != PKT_FRAME || n != static_cast<ssize_t>(PKT_FRAME_SIZE)) continue;
        const Frame f = get_frame_packet(pkt);
        uint8_t rec[HUB_TO_PC_SIZE];
        exam_param_record(rec, f);
        if (!send_all(tcp_fd, rec, sizeof rec)) return false;
        Frame ack;
        ack.id = ID_HUB_TO_CPU;
        ack.length = 2;
        ack.data[0] = MSG_ACK;
        ack.data[1] = ACK_EXAM_PARAM;
        if (!send_frame(can_fd, ack)) return false;
    }
}

// Every waiting PC record, read 20 bytes at a time as the hub reads them:
// a kV/mA command becomes its frame. Returns false when the PC has gone.
bool from_pc(int tcp_fd, int can_fd, uint8_t *rec, size_t *have) {
    for (;;) {
        ssize_t n = recv(tcp_fd, rec + *have, PC_TO_HUB_SIZE - *have, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0) return false;
        *have += static_cast<size_t>(n);
        if (*have < PC_TO_HUB_SIZE) continue;
        *have = 0;
        if (le16(rec) != PC_CHANGE_KV_MA) continue;
        Frame cmd;
        cmd.id = ID_HUB_TO_CPU;
        cmd.length = 3;
        cmd.data[0] = MSG_CHANGE_KV_MA;
        cmd.data[1] = rec[12];
        cmd.data[2] = rec[13];
        if (!send_frame(can_fd, cmd)) return false;
    }
}

}  // namespace

int run_floor_relay(int can_fd, int tcp_fd) {
    uint8_t rec[PC_TO_HUB_SIZE];
    size_t have = 0;
    pollfd p[2] = {{can_fd, POLLIN, 0}, {tcp_fd, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (p[0].revents && !from_device(can_fd, tcp_fd)) return 0;
        if (p[1].revents && !from_pc(tcp_fd, can_fd, rec, &have)) return 0;
    }
}

}  // namespace bench

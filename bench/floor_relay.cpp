#include "floor_relay.h"

#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>

#include <atomic>
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

bool write_frame(int can_fd, const Frame &f) {
    uint8_t pkt[PKT_FRAME_SIZE];
    put_frame_packet(pkt, PKT_WRITE, f);
    return send(can_fd, pkt, sizeof pkt, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof pkt);
}

// Frames from the reader to the writer of the two-thread floor. The ring is
// larger than any burst the benchmark offers, so it never fills; if it did,
// the reader would wait for a free slot rather than drop.
struct Handover {
    static constexpr uint32_t SLOTS = 1024;
    Frame slots[SLOTS];
    std::atomic<uint32_t> head{0}, tail{0};
    sem_t queued, free_slots;
    int can_fd = -1;
    std::atomic<bool> gone{false};
};

// Where a frame goes: straight to the device, or to the writer thread.
struct Out {
    int can_fd;
    Handover *handover;  // null for the one-thread floor

    bool frame(const Frame &f) const {
        if (!handover) return write_frame(can_fd, f);
        while (sem_wait(&handover->free_slots) != 0) {
        }
        if (handover->gone.load()) return false;
        const uint32_t h = handover->head.load(std::memory_order_relaxed);
        handover->slots[h % Handover::SLOTS] = f;
        handover->head.store(h + 1, std::memory_order_release);
        sem_post(&handover->queued);
        return !handover->gone.load(std::memory_order_relaxed);
    }
};

void *writer_thread(void *arg) {
    Handover &q = *static_cast<Handover *>(arg);
    for (;;) {
        while (sem_wait(&q.queued) != 0) {
        }
        const uint32_t t = q.tail.load(std::memory_order_relaxed);
        if (t == q.head.load(std::memory_order_acquire)) return nullptr;  // the stop post
        const Frame f = q.slots[t % Handover::SLOTS];
        q.tail.store(t + 1, std::memory_order_release);
        sem_post(&q.free_slots);
        if (!write_frame(q.can_fd, f)) {
            q.gone = true;
            sem_post(&q.free_slots);  // a reader waiting for a slot sees it
            return nullptr;
        }
    }
}

// Every waiting frame: a record to the PC, an acknowledgement to the device.
// Returns false when the device has hung up.
bool from_device(int can_fd, int tcp_fd, const Out &out) {
    for (;;) {
        uint8_t pkt[64];
        ssize_t n = recv(can_fd, pkt, sizeof pkt, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0) return false;
        if (pkt[0] != PKT_FRAME || n != static_cast<ssize_t>(PKT_FRAME_SIZE)) continue;
        uint8_t rec[HUB_TO_PC_SIZE];
        exam_param_record(rec, get_frame_packet(pkt));
        if (!send_all(tcp_fd, rec, sizeof rec)) return false;
        if (!out.frame(exam_param_ack())) return false;
    }
}

// Every waiting PC record, read 20 bytes at a time as the hub reads them:
// a kV/mA command becomes its frame. Returns false when the PC has gone.
bool from_pc(int tcp_fd, const Out &out, uint8_t *rec, size_t *have) {
    for (;;) {
        ssize_t n = recv(tcp_fd, rec + *have, PC_TO_HUB_SIZE - *have, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0) return false;
        *have += static_cast<size_t>(n);
        if (*have < PC_TO_HUB_SIZE) continue;
        *have = 0;
        if (get_le16(rec, pc_to_hub::Event) != PC_CHANGE_KV_MA) continue;
        if (!out.frame(kv_ma_frame(rec))) return false;
    }
}

int relay(int can_fd, int tcp_fd, const Out &out) {
    uint8_t rec[PC_TO_HUB_SIZE];
    size_t have = 0;
    pollfd p[2] = {{can_fd, POLLIN, 0}, {tcp_fd, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (p[0].revents && !from_device(can_fd, tcp_fd, out)) return 0;
        if (p[1].revents && !from_pc(tcp_fd, out, rec, &have)) return 0;
    }
}

}  // namespace

int run_floor_relay(int can_fd, int tcp_fd, int threads) {
    if (threads != 2) return relay(can_fd, tcp_fd, Out{can_fd, nullptr});
    static Handover q;
    q.can_fd = can_fd;
    sem_init(&q.queued, 0, 0);
    sem_init(&q.free_slots, 0, Handover::SLOTS);
    pthread_t writer;
    if (pthread_create(&writer, nullptr, writer_thread, &q) != 0) return 1;
    const int status = relay(can_fd, tcp_fd, Out{can_fd, &q});
    q.gone = true;
    sem_post(&q.queued);
    pthread_join(writer, nullptr);
    return status;
}

}  // namespace bench

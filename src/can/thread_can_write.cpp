#include "can/thread_can_write.h"

#include <cerrno>
#include <cstring>

#include "can/can_trace.h"
#include "hub_cfg.h"
#include "platform/device.h"
#include "platform/sem_lock.h"
#include "platform/trace.h"

sem_t CanTxSem;
std::atomic<int> CanTxThStatus{0};

namespace {

constexpr uint32_t RING_MASK = CAN_TX_SLOTS - 1;
static_assert((CAN_TX_SLOTS & RING_MASK) == 0, "the ring wraps by masking");

CanFrame CanTxBuf[CAN_TX_SLOTS];
int64_t CanTxQueuedAt[CAN_TX_SLOTS];  // monotonic_ms of each slot's canSendMessage
uint32_t CanTxBufId = 0;    // next slot a producer fills
uint32_t CanTxBufIdTx = 0;  // next slot the writer sends

// Counts queued frames (and a stop request) for the writer to sleep on.
sem_t CanTxWake;

unsigned CanTxAged = 0;  // the writer's: dropped for age since a frame last went out

enum class Written { Sent, Aged, Failed };

// Writes one frame unless it is too old by the time the device takes it. A
// failed write loses the frame, as it always has.
Written write_while_fresh(int fd, const CanFrame &f, int64_t queued_ms) {
    const int64_t deadline = queued_ms + CAN_TX_MAX_AGE_MS;
    if (monotonic_ms() >= deadline) return Written::Aged;
    if (dev_write_by(fd, &f, sizeof f, deadline) >= 0) return Written::Sent;
    return errno == ETIMEDOUT ? Written::Aged : Written::Failed;
}

}  // namespace

void can_tx_init() {
    sem_init(&CanTxSem, 0, 1);
    sem_init(&CanTxWake, 0, 0);
    CanTxThStatus = 1;
}

void canSendMessage(CanFrame frame) {
    SemLock lock(CanTxSem);
    if (((CanTxBufIdTx - 1) & RING_MASK) == CanTxBufId) {
        lock.release();
        console_flush_text("@");
        return;
    }
    CanFrame &slot = CanTxBuf[CanTxBufId];
    slot.id = frame.id;
    slot.length = frame.length;
    // Only the frame's own bytes: the rest of the slot keeps what it held.
    memcpy(slot.data, frame.data, can_data_length(frame));
    CanTxQueuedAt[CanTxBufId] = monotonic_ms();
    CanTxBufId = (CanTxBufId + 1) & RING_MASK;
    lock.release();
    sem_post(&CanTxWake);
}

int can_tx_pass(int fd) {
    uint32_t next;
    {
        SemLock lock(CanTxSem);
        if (CanTxBufIdTx == CanTxBufId) return 0;
        next = CanTxBufIdTx;
    }
    // No producer writes a queued slot, so it is read outside the lock.
    const CanFrame &f = CanTxBuf[next];
    const Written written = write_while_fresh(fd, f, CanTxQueuedAt[next]);
    if (written == Written::Aged) {
        ++CanTxAged;
    } else {
        if (written == Written::Sent && CanTxAged > 0) {
            notice("%s: %u frame%s older than 1 s dropped while the bus was down",
                   Hub_Config.canDevice ? Hub_Config.canDevice : "CAN", CanTxAged, CanTxAged == 1 ? "" : "s");
            CanTxAged = 0;
        }
        if (f.id != ID_HUB_TO_DISPLAY && f.id != ID_HUB_TO_CPU) can_trace_written(f);
    }
    SemLock lock(CanTxSem);
    CanTxBufIdTx = (CanTxBufIdTx + 1) & RING_MASK;
    return 1;
}

void can_tx_request_stop() {
    {
        SemLock lock(CanTxSem);
        CanTxThStatus = 2;
    }
    sem_post(&CanTxWake);
}

void *can_tx_thread(void *arg) {
    int *fid = static_cast<int *>(arg);
    trace("Thread \"can_tx_thread\" fid = %d\n", *fid);
    for (;;) {
        // One post per queued frame (and one for a stop request): the writer
        // sleeps while the ring is empty and wakes at once on an enqueue.
        SemLock::sem_wait_intr(CanTxWake);
        can_tx_pass(*fid);
        SemLock lock(CanTxSem);
        if (CanTxThStatus == 2) break;
    }
    return nullptr;
}

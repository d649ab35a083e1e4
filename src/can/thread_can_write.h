// The CAN transmit ring and its writer thread. Producers on the CAN reader
// and TCP server threads queue frames with canSendMessage; the writer thread
// writes them to the device in queue order.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "can/can_frame.h"

constexpr uint32_t CAN_TX_SLOTS = 32;  // one slot always stays free: 31 usable

// No frame leaves the hub older than this, counted from its canSendMessage:
// a kV/mA, exam or lock command (or an acknowledgement) that reaches the CPU
// node late is worse than one that is lost and said to be lost. A frame that
// waits longer, in the ring or in the device's write, is dropped and counted.
constexpr int64_t CAN_TX_MAX_AGE_MS = 1000;

extern sem_t CanTxSem;
extern std::atomic<int> CanTxThStatus;  // 1 run, 2 stop request

// Copies the frame into the ring and returns at once. A full ring drops the
// frame and prints "@" whatever the tracing switches say.
void canSendMessage(CanFrame frame);

// Thread entry; `arg` is the address of the CAN descriptor.
void *can_tx_thread(void *arg);

// One pass of the writer: writes the oldest queued frame, if any, or drops it
// when it is older than CAN_TX_MAX_AGE_MS by then. The number dropped is said
// once, when a frame goes out again. Returns 1 when a frame was taken from
// the ring, 0 when the ring was empty.
int can_tx_pass(int fd);

// Sets the stop request and wakes the writer so it sees it.
void can_tx_request_stop();

// Semaphores, run-status word and the writer's wake-up, before any thread.
void can_tx_init();

// The CAN transmit ring and its writer thread. Producers on the CAN reader
// and TCP server threads queue frames with canSendMessage; the writer thread
// writes them to the device in queue order.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "can/can_frame.h"

constexpr uint32_t CAN_TX_SLOTS = 32;  // one slot always stays free: 31 usable

extern sem_t CanTxSem;
extern std::atomic<int> CanTxThStatus;  // 1 run, 2 stop request

// Copies the frame into the ring and returns at once. A full ring drops the
// frame and prints "@" whatever the tracing switches say.
void canSendMessage(CanFrame frame);

// Thread entry; `arg` is the address of the CAN descriptor.
void *can_tx_thread(void *arg);

// One pass of the writer: writes the oldest queued frame, if any. Returns 1
// when a frame was written, 0 when the ring was empty.
int can_tx_pass(int fd);

// Sets the stop request and wakes the writer so it sees it.
void can_tx_request_stop();

// Semaphores, run-status word and the writer's wake-up, before any thread.
void can_tx_init();

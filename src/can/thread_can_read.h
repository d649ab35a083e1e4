// The CAN reader thread and the receive dispatch by node number.
#pragma once

#include <semaphore.h>

#include <atomic>

#include "can/can_frame.h"

extern sem_t CanRxSem;
extern std::atomic<int> CanRxThStatus;  // 1 run, 2 stop request

void can_rx_init();

// Thread entry; `arg` is the address of the CAN descriptor.
void *can_rx_thread(void *arg);

// One pass: poll (timeout in ms), then a burst of reads until one returns 0.
// Returns the number of frames dispatched.
int can_rx_pass(int fd, int timeout_ms);

// Hands a frame to its node's handler.
void canReciveMessage(CanFrame frame);

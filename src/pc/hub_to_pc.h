// The hub's one hub-to-PC record, the standing buffer every report updates in
// part and sends whole, and the connected PC's socket.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "pc/pc_records.h"
#include "platform/sem_lock.h"

// Guards G_HubToPc and sends on clientSocket: held from a report's first
// field write until its send has returned. Taken before CanTxSem, never after.
extern sem_t TcpSem;

// Wire image: 16-bit fields stored already little-endian.
extern uint8_t G_HubToPc[HUB_TO_PC_SIZE];

// The connected PC, -1 while none is.
extern std::atomic<int> clientSocket;

// Checksums G_HubToPc and sends the 72 bytes in one send. A PC that has gone
// never ends the process: the send uses MSG_NOSIGNAL and its result is only
// returned. A send that runs into the connection's send timeout (a PC that
// has stopped reading) shuts the connection down, so the server drops that
// PC. Callers hold TcpSem.
int tcpSendMessage();

// Field writers for reports; callers hold TcpSem.
void hub_to_pc_set16(size_t off, uint16_t value);
void hub_to_pc_set8(size_t off, uint8_t value);
uint16_t hub_to_pc_get16(size_t off);

// The TCP server thread: one PC at a time, its records, and the watchdog.
#pragma once

#include <cstdint>

// Thread entry; the argument is ignored.
void *tcp_server_thread(void *arg);

// Sends a watchdog and counts misses. 0 keeps the client, -1 drops it.
// Called with TcpSem held.
int tcp_server_send_watchdog();

// Records the status the PC reports and mirrors it onto the sensor-ready line.
void verify_PCStatus(uint16_t status);

// The watchdog-outstanding flag: cleared by a PC_WATCHDOG answer.
void tcp_server_watchdog_answered();

// Status last reported by the PC.
uint16_t tcp_server_pc_status();

// Model name and the "CPU node not initialised" marker, once, at start-up
// before any thread is created (so before the first PC is served and before
// the CAN reader can report a test selection).
void tcp_server_prepare_record();

// Miss count of a new connection: the count the first PC had at start-up.
void tcp_server_reset_watchdog();

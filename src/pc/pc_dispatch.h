// What the hub does with each record the PC sends.
#pragma once

#include <cstdint>

// Given one received record (fewer than 20 fresh bytes are taken with the
// rest of the buffer as it stands). Returns -1 for PC_CLOSE_SOCKET, else 0.
int tcp_server_recive_message(const uint8_t *record);

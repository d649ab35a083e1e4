#include "pc/hub_to_pc.h"

#include <sys/socket.h>

sem_t TcpSem;
uint8_t G_HubToPc[HUB_TO_PC_SIZE];
std::atomic<int> clientSocket{-1};

int tcpSendMessage() {
    hub_to_pc_seal(G_HubToPc);
    // MSG_NOSIGNAL: a PC that has gone makes the send fail, never the hub.
    return static_cast<int>(send(clientSocket.load(), G_HubToPc, HUB_TO_PC_SIZE, MSG_NOSIGNAL));
}

void hub_to_pc_set16(size_t off, uint16_t value) { put_le16(G_HubToPc, off, value); }

void hub_to_pc_set8(size_t off, uint8_t value) { G_HubToPc[off] = value; }

uint16_t hub_to_pc_get16(size_t off) { return get_le16(G_HubToPc, off); }

#include "pc/hub_to_pc.h"

#include <sys/socket.h>

#include <cerrno>

sem_t TcpSem;
uint8_t G_HubToPc[HUB_TO_PC_SIZE];
std::atomic<int> clientSocket{-1};

int tcpSendMessage() {
    hub_to_pc_seal(G_HubToPc);
    const int fd = clientSocket.load();
    // No PC connected: the result a send on no socket would give.
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // MSG_NOSIGNAL: a PC that has gone makes the send fail, never the hub.
    const ssize_t sent = send(fd, G_HubToPc, HUB_TO_PC_SIZE, MSG_NOSIGNAL);
    // A PC that has stopped reading fills its connection until a send runs
    // into the socket's send timeout (set at accept). The record went out in
    // part or not at all, so the PC could no longer find its records in the
    // stream: the connection is shut down, and the server drops the PC as
    // one that has gone, instead of this send holding TcpSem (and the CAN
    // reader behind it) for as long as the PC does not read.
    if (sent >= 0 ? static_cast<size_t>(sent) < HUB_TO_PC_SIZE : (errno == EAGAIN || errno == EWOULDBLOCK))
        shutdown(fd, SHUT_RDWR);
    return static_cast<int>(sent);
}

void hub_to_pc_set16(size_t off, uint16_t value) { put_le16(G_HubToPc, off, value); }

void hub_to_pc_set8(size_t off, uint8_t value) { G_HubToPc[off] = value; }

uint16_t hub_to_pc_get16(size_t off) { return get_le16(G_HubToPc, off); }

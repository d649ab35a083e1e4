#include "udp/thread_udp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "platform/trace.h"

#ifndef HUB_UDP_PEER
#define HUB_UDP_PEER "127.0.0.1"
#endif

namespace {
constexpr uint16_t UDP_PORT = 60001;
constexpr long SEND_PERIOD_US = 500000;
}  // namespace

void *udp_server_thread(void *) {
    trace_line("Thread \"udp_server_thread\"");

    // Close-on-exec, like every socket of the hub: not the Ethernet order's.
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (rx == -1) {
        perror("socket");
        exit(1);
    }
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (tx == -1) perror("socket");  // every send then fails and says so

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(UDP_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(rx, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1) perror("bind");

    // The peer is fixed at build time; loopback unless a board build says
    // otherwise, so nothing leaves the machine by accident.
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(UDP_PORT);
    if (inet_aton(HUB_UDP_PEER, &peer.sin_addr) == 0) {
        fprintf(stderr, "inet_aton() failed\n");
        exit(1);
    }

    char byte = 'A';
    sockaddr_in from{};
    socklen_t fromlen = sizeof from;
    fd_set readset;
    FD_ZERO(&readset);
    FD_SET(rx, &readset);
    timeval wait{0, SEND_PERIOD_US};
    for (;;) {
        int ready = select(FD_SETSIZE, &readset, nullptr, nullptr, &wait);
        if (ready < 0) {
            perror("select");
            exit(1);
        }
        if (FD_ISSET(rx, &readset)) {
            // Only the first byte of a datagram is kept. The wait goes on
            // with the time left, so receiving does not delay the next send.
            if (recvfrom(rx, &byte, 1, 0, reinterpret_cast<sockaddr *>(&from), &fromlen) == -1) {
                perror("recvfrom()");
            } else {
                console("Received packet from %s:%d\nData: %c\n\n", inet_ntoa(from.sin_addr),
                        static_cast<int>(ntohs(from.sin_port)), byte);
            }
            continue;
        }
        console_line("Sending packet");
        if (sendto(tx, &byte, 1, 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == -1) perror("sendto()");
        FD_ZERO(&readset);
        FD_SET(rx, &readset);
        wait = timeval{0, SEND_PERIOD_US};
    }
}

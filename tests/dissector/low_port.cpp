#include "low_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hubdissector {
namespace {

constexpr uint16_t FIRST = 20000;
constexpr uint16_t COUNT = 12768;  // up to 32767, where the ephemeral range starts

// Bound as the hub binds it: every address, no SO_REUSEADDR.
bool bindable(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

uint16_t pick_low_free_port() {
    // Start where the process id says, so runs side by side try different ports.
    const unsigned start = static_cast<unsigned>(getpid()) % COUNT;
    for (unsigned i = 0; i < COUNT; ++i) {
        auto port = static_cast<uint16_t>(FIRST + (start + i) % COUNT);
        if (bindable(port)) return port;
    }
    return 0;
}

}  // namespace hubdissector

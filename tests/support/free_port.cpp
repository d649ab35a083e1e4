#include "free_port.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>

namespace hubtest {

uint16_t pick_free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), size) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) == 0;
    close(fd);
    if (!ok) throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1:0");
    return ntohs(addr.sin_port);
}

}  // namespace hubtest

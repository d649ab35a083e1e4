// The UDP responder in a child with a network of its own (fixed port, endless
// thread); checks follow its output lines, never the clock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "hub_test.h"
#include "udp/thread_udp_server.h"

namespace {

[[noreturn]] void run_responder(int out_fd) {
    dup2(out_fd, STDOUT_FILENO);
    static char line_buffer[BUFSIZ];  // each line as it is printed (a new buffer: the old one was used)
    setvbuf(stdout, line_buffer, _IOLBF, sizeof line_buffer);
    ifreq lo{};
    strcpy(lo.ifr_name, "lo");
    int s = -1;
    if (unshare(CLONE_NEWNET) != 0 || (s = socket(AF_INET, SOCK_DGRAM, 0)) < 0 || ioctl(s, SIOCGIFFLAGS, &lo) != 0 ||
        (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo)) != 0) {
        printf("no network of its own: %s\n", strerror(errno));
        _exit(1);
    }
    close(s);
    udp_server_thread(nullptr);
    _exit(1);
}

struct Responder {
    pid_t pid = -1;
    FILE *out = nullptr;
    ~Responder() {
        if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
        if (out) fclose(out);
    }
    std::string line() {
        char text[256];
        if (!fgets(text, sizeof text, out)) return "(end of output)";
        return std::string(text, strcspn(text, "\n"));
    }
    // "send" for a send; "<port> <byte>" for the three lines of a received packet.
    std::string event() {
        const std::string head = "Received packet from 127.0.0.1:", text = line();
        if (text == "Sending packet") return "send";
        if (text.rfind(head, 0) != 0) return text;
        const std::string data = line(), empty = line();
        if (data.size() != 7 || data.rfind("Data: ", 0) != 0 || !empty.empty()) return data + "|" + empty;
        return text.substr(head.size()) + " " + data[6];
    }
};

// A socket in the child's network, made by a thread that joins it.
int socket_in_network_of(pid_t pid) {
    int fd = -1;
    std::thread([&] {
        int ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (ns >= 0) close(ns);
    }).join();
    return fd;
}

TEST(UdpResponder, SendsAToItsPeerUntilAByteArrivesThenThatByte) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fflush(stdout);
    Responder r;
    r.pid = fork();
    if (r.pid == 0) run_responder(out[1]);
    close(out[1]);
    r.out = fdopen(out[0], "r");
    ASSERT_GT(r.pid, 0);
    // Its peer is loopback port 60001, its own: each send comes straight back.
    ASSERT_EQ(r.event(), "send");
    std::string own = r.event();
    ASSERT_EQ(own.back(), 'A') << own;
    own.pop_back();
    EXPECT_NE(own, "60001 ") << "sent from a socket of its own";

    int peer = socket_in_network_of(r.pid);
    ASSERT_GE(peer, 0);
    sockaddr_in to{AF_INET, htons(60001), {htonl(INADDR_LOOPBACK)}, {}}, me{};
    socklen_t len = sizeof me;
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr *>(&me), &len), 0);
    ASSERT_EQ(send(peer, "xyz", 3, 0), 3);
    close(peer);
    const std::string ours = std::to_string(ntohs(me.sin_port)) + " x";  // the first byte alone is kept
    std::string e;
    while ((e = r.event()) != ours) ASSERT_TRUE(e == "send" || e == own + "A") << e;
    // An own "A" sent as ours arrived comes in after it; the sends after that carry "x".
    if ((e = r.event()) == own + "A") e = r.event();
    EXPECT_EQ(e, "send");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(r.event(), own + "x");
        EXPECT_EQ(r.event(), "send");
    }
}

}  // namespace

// The UDP diagnostic responder, run in a child process with a network of its
// own: its port is fixed and its thread never returns.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "hub_test.h"
#include "udp/thread_udp_server.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void run_responder(int out_fd) {
    dup2(out_fd, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ifreq lo{};
    strcpy(lo.ifr_name, "lo");
    int s = -1;
    if (unshare(CLONE_NEWNET) != 0 || (s = socket(AF_INET, SOCK_DGRAM, 0)) < 0 || ioctl(s, SIOCGIFFLAGS, &lo) != 0 ||
        (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo)) != 0) {
        printf("no network of its own: %s\n", strerror(errno));
        _exit(0);
    }
    close(s);
    printf("ready\n");
    udp_server_thread(nullptr);
    _exit(1);
}

// The child's output, line by line, and its end however the test ends.
struct Responder {
    pid_t pid = -1;
    int out = -1, peer = -1;
    std::string buffer;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    ~Responder() {
        if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
        if (out >= 0) close(out);
        if (peer >= 0) close(peer);
    }
    bool line(std::string &text) {
        while (buffer.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd entry{out, POLLIN, 0};
            char chunk[256];
            ssize_t n = 0;
            if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) != 1 || (n = read(out, chunk, sizeof chunk)) <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        text = buffer.substr(0, buffer.find('\n'));
        buffer.erase(0, text.size() + 1);
        return true;
    }
    // The next "Received packet from 127.0.0.1:<port>", "Data: <c>", "".
    bool received(int &port, char &data) {
        const std::string head = "Received packet from 127.0.0.1:";
        std::string text, data_line, empty;
        while (line(text) && text == "Sending packet") {
        }
        if (text.rfind(head, 0) != 0 || !line(data_line) || !line(empty)) return false;
        port = std::stoi(text.substr(head.size()));
        data = data_line.size() == 7 ? data_line[6] : '?';
        return data_line.rfind("Data: ", 0) == 0 && empty.empty();
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

using UdpResponder = HubTest;

TEST_F(UdpResponder, SendsAToItsPeerUntilAByteArrivesThenThatByte) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fflush(stdout);
    Responder r;
    r.pid = fork();
    if (r.pid == 0) run_responder(out[1]);
    close(out[1]);
    r.out = out[0];
    ASSERT_GT(r.pid, 0);
    std::string text;
    if (!r.line(text) || text != "ready") GTEST_SKIP() << "cannot run the responder: " << text;
    // With the peer on loopback it hears its own sends, from a port of the system's choosing.
    ASSERT_TRUE(r.line(text));
    EXPECT_EQ(text, "Sending packet");
    int sender = 0, port = 0;
    char data = 0;
    ASSERT_TRUE(r.received(sender, data));
    EXPECT_EQ(data, 'A');
    EXPECT_NE(sender, 60001);

    ASSERT_GE(r.peer = socket_in_network_of(r.pid), 0);
    sockaddr_in to{AF_INET, htons(60001), {htonl(INADDR_LOOPBACK)}, {}}, me{};
    socklen_t len = sizeof me;
    ASSERT_EQ(connect(r.peer, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    ASSERT_EQ(getsockname(r.peer, reinterpret_cast<sockaddr *>(&me), &len), 0);
    // An own "A" sent just as ours arrives is read after it and wins; then ours goes again.
    for (int attempt = 0; attempt < 5 && data != 'x'; ++attempt) {
        ASSERT_EQ(send(r.peer, "xyz", 3, 0), 3);
        for (port = 0; port != ntohs(me.sin_port);) ASSERT_TRUE(r.received(port, data));
        EXPECT_EQ(data, 'x') << "the first byte alone is kept";
        ASSERT_TRUE(r.received(port, data));
        EXPECT_EQ(port, sender);
    }
    EXPECT_EQ(data, 'x') << "the sends after ours carry its byte";
    ASSERT_TRUE(r.received(port, data));
    EXPECT_EQ(port, sender);
    EXPECT_EQ(data, 'x');
}

}  // namespace

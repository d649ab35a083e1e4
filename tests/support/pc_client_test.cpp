// The PC client against a plain TCP server in the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "free_port.h"
#include "pc_client.h"

using namespace std::chrono_literals;
using hubtest::PcClient;

namespace {

// A listening socket on 127.0.0.1 and the one connection it accepts.
class Server {
public:
    Server() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(listen_fd_, 1);
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &size);
        port_ = ntohs(addr.sin_port);
    }
    ~Server() {
        close_client();
        close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    bool accept_client() {
        client_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_fd_ >= 0;
    }
    void send_bytes(const uint8_t *data, size_t size) { ASSERT_EQ(send(client_fd_, data, size, MSG_NOSIGNAL), ssize_t(size)); }
    std::vector<uint8_t> receive(size_t size) {
        std::vector<uint8_t> out(size);
        size_t done = 0;
        while (done < size) {
            pollfd entry{client_fd_, POLLIN, 0};
            if (poll(&entry, 1, 2000) <= 0) break;
            ssize_t n = recv(client_fd_, out.data() + done, size - done, 0);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        out.resize(done);
        return out;
    }
    void close_client() {
        if (client_fd_ >= 0) close(client_fd_);
        client_fd_ = -1;
    }

private:
    int listen_fd_ = -1;
    int client_fd_ = -1;
    uint16_t port_ = 0;
};

hubtest::HubRecord numbered_record(uint8_t first) {
    hubtest::HubRecord r;
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(first + i);
    return r;
}

TEST(PcClient, EncodesTheRecordLowByteFirst) {
    hubtest::PcRecord rec;
    rec.event = 0x0203;
    rec.pc_status = 0x0405;
    rec.sel_family = 0x0607;
    rec.sel_exam = 0x0809;
    rec.kv = 70;
    rec.ma = 8;
    rec.sel_pat_type = 1;
    rec.sel_pat_size = 2;
    rec.sel_pat_dent = 3;
    hubtest::PcBytes expected = {0x03, 0x02, 0x05, 0x04, 0, 0, 0, 0, 0x07, 0x06,
                                 0x09, 0x08, 70,   8,    1, 2, 3, 0, 0, 0};
    EXPECT_EQ(rec.encode(), expected);
}

TEST(PcClient, ReadsRecordsWhateverPiecesTheyArriveIn) {
    Server server;
    PcClient pc;
    ASSERT_TRUE(pc.connect(server.port(), 2s));
    ASSERT_TRUE(server.accept_client());
    hubtest::HubRecord a = numbered_record(0), b = numbered_record(100);
    server.send_bytes(a.data(), 10);
    EXPECT_FALSE(pc.read_record(50ms));  // a partial record is not a record
    server.send_bytes(a.data() + 10, 62);
    server.send_bytes(b.data(), 30);
    auto first = pc.read_record(2s);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, a);
    server.send_bytes(b.data() + 30, 42);
    auto second = pc.read_record(2s);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, b);
    EXPECT_EQ(pc.records().size(), 2u);
}

TEST(PcClient, WaitsForARecordOfAType) {
    Server server;
    PcClient pc;
    ASSERT_TRUE(pc.connect(server.port(), 2s));
    ASSERT_TRUE(server.accept_client());
    hubtest::HubRecord watchdog{}, exam{};
    exam[0] = 5;
    exam[22] = 'H';
    exam[23] = 'i';
    server.send_bytes(watchdog.data(), watchdog.size());
    server.send_bytes(exam.data(), exam.size());
    auto found = pc.wait_record_type(5, 2s);
    ASSERT_TRUE(found);
    EXPECT_EQ(hubtest::record_text(*found, 22, 16), "Hi");
    EXPECT_EQ(pc.records().size(), 2u);
    EXPECT_EQ(hubtest::record_le16(exam, 0), 5);
    EXPECT_EQ(hubtest::record_be16(exam, 0), 0x0500);
}

TEST(PcClient, SendsRecordsAndSeesThePeerClose) {
    Server server;
    PcClient pc;
    ASSERT_TRUE(pc.connect(server.port(), 2s));
    ASSERT_TRUE(server.accept_client());
    hubtest::PcRecord rec;
    rec.event = 3;
    rec.kv = 66;
    ASSERT_TRUE(pc.send(rec));
    auto got = server.receive(20);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got[0], 3);
    EXPECT_EQ(got[12], 66);
    hubtest::HubRecord last = numbered_record(7);
    server.send_bytes(last.data(), last.size());
    server.close_client();
    EXPECT_TRUE(pc.wait_closed(2s));
    EXPECT_TRUE(pc.peer_closed());
    auto before_close = pc.read_record(100ms);  // sent before the close: still there
    ASSERT_TRUE(before_close);
    EXPECT_EQ(*before_close, last);
    EXPECT_FALSE(pc.read_record(100ms));
}

TEST(PcClient, GivesUpWhenNothingListens) {
    PcClient pc;
    uint16_t port = hubtest::pick_free_port();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pc.connect(port, 200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_FALSE(pc.is_connected());
}

}  // namespace

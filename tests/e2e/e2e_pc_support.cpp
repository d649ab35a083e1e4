#include "e2e_pc_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "devsim/device_packets.h"

namespace e2e_pc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char MODEL[] = "  ZELT 4";
constexpr size_t MODEL_OFFSET = 62;
constexpr size_t CHECKSUM_OFFSET = 70;

int left_ms(Clock::time_point deadline) {
    auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<Millis::rep>(left, 0));
}

}  // namespace

void use_one_second_polls(hubtest::HubConf &conf) {
    conf.poll_time = 1;
    conf.poll_time_calibration = 1;
}

CanFrame cpu_frame(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f{};
    f.id = id;
    for (uint8_t b : data) f.data[f.length++] = b;
    return f;
}

CanFrame test_selection_1_to_8() { return cpu_frame(ID_CPU_TEST_SEL, {1, 2, 3, 4, 5, 6, 7, 8}); }

uint16_t record_checksum(const HubRecord &record) {
    unsigned sum = 0;
    for (size_t k = 0; k <= 64; k += 8) sum += (unsigned{record[k]} << 8) | record[k + 1];
    return static_cast<uint16_t>(sum & 0xFFFF);
}

::testing::AssertionResult checksums_ok(const std::vector<HubRecord> &records) {
    for (size_t i = 0; i < records.size(); ++i) {
        const HubRecord &r = records[i];
        uint16_t carried = static_cast<uint16_t>((r[CHECKSUM_OFFSET] << 8) | r[CHECKSUM_OFFSET + 1]);
        if (carried != record_checksum(r)) {
            return ::testing::AssertionFailure() << "record " << i << " of " << records.size() << " carries checksum "
                                                 << carried << ", its words sum to " << record_checksum(r) << ": "
                                                 << hex(r);
        }
    }
    return ::testing::AssertionSuccess() << records.size() << " records";
}

HubRecord fresh_record() {
    HubRecord r{};
    r[8] = 6;
    std::copy_n(MODEL, sizeof MODEL - 1, r.begin() + MODEL_OFFSET);
    return r;
}

HubRecord with_bytes(HubRecord record, size_t offset, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), record.begin() + static_cast<std::ptrdiff_t>(offset));
    return record;
}

HubRecord sealed(HubRecord record) {
    uint16_t sum = record_checksum(record);
    record[CHECKSUM_OFFSET] = static_cast<uint8_t>(sum >> 8);
    record[CHECKSUM_OFFSET + 1] = static_cast<uint8_t>(sum & 0xFF);
    return record;
}

std::string hex(const HubRecord &record) {
    std::string text;
    for (size_t i = 0; i < record.size(); ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(record[i]));
        if (i) text += ' ';
        text += byte;
    }
    return text;
}

std::vector<std::string> line_requests(const std::vector<devsim::Request> &requests, size_t from) {
    std::vector<std::string> lines;
    for (size_t i = from; i < requests.size(); ++i) {
        const auto &r = requests[i];
        if (r.number != 7 && r.number != 8) continue;
        char text[32];
        if (r.arg.size() == 4)
            snprintf(text, sizeof text, "%u:%X", static_cast<unsigned>(r.number), static_cast<unsigned>(devsim::arg_u32(r.arg, 0)));
        else
            snprintf(text, sizeof text, "%u:(%zu bytes)", static_cast<unsigned>(r.number), r.arg.size());
        lines.push_back(text);
    }
    return lines;
}

RawPc::~RawPc() {
    if (fd_ >= 0) close(fd_);
}

bool RawPc::connect(uint16_t port, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            fd_ = fd;
            return true;
        }
        int err = errno;
        close(fd);
        if (err != ECONNREFUSED || Clock::now() >= deadline) return false;
        // Nothing listens yet: there is no event to wait for, so pause briefly.
        poll(nullptr, 0, std::min(left_ms(deadline), 20));
    }
}

uint16_t RawPc::local_port() const {
    sockaddr_in addr{};
    socklen_t size = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &size) != 0) return 0;
    return ntohs(addr.sin_port);
}

std::optional<HubRecord> RawPc::read_record(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    while (buffer_.size() < hubtest::HUB_RECORD_SIZE) {
        pollfd entry{fd_, POLLIN, 0};
        int ready = poll(&entry, 1, left_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        uint8_t chunk[512];
        ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0) return std::nullopt;
        buffer_.insert(buffer_.end(), chunk, chunk + n);
    }
    HubRecord record;
    std::copy_n(buffer_.begin(), hubtest::HUB_RECORD_SIZE, record.begin());
    buffer_.erase(buffer_.begin(), buffer_.begin() + hubtest::HUB_RECORD_SIZE);
    return record;
}

void RawPc::reset() {
    if (fd_ < 0) return;
    linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(fd_);
    fd_ = -1;
}

}  // namespace e2e_pc

#include "devsim/device_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace devsim {
namespace {

// Larger than any packet of the protocol, so a bigger one shows as truncated.
constexpr size_t RECEIVE_BUFFER = 512;
// Packets read in one go before answers get their turn to go out.
constexpr int READ_BURST = 64;

sockaddr_un socket_address(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "device socket path " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// A socket file left by an earlier run would make bind fail; anything that
// is not a socket is left alone.
void remove_stale_socket(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
}

// A packet from one of the codec's encoders, as owned bytes.
template <class Encode>
Bytes encoded(Encode encode) {
    Bytes packet(PACKET_MAX);
    packet.resize(encode(std::span<uint8_t>(packet)));
    return packet;
}

}  // namespace

uint32_t arg_u32(std::span<const uint8_t> arg, size_t offset) {
    uint32_t value = 0;
    if (offset + sizeof value <= arg.size()) std::memcpy(&value, arg.data() + offset, sizeof value);
    return value;
}

void set_arg_u32(Bytes &arg, size_t offset, uint32_t value) {
    if (arg.size() < offset + sizeof value) arg.resize(offset + sizeof value);
    std::memcpy(arg.data() + offset, &value, sizeof value);
}

Bytes u32_arg(std::initializer_list<uint32_t> words) {
    Bytes arg;
    for (uint32_t w : words) set_arg_u32(arg, arg.size(), w);
    return arg;
}

DeviceServer::DeviceServer(std::string path, DeviceObserver observer)
    : path_(std::move(path)), observer_(std::move(observer)) {}

DeviceServer::~DeviceServer() { stop(); }

void DeviceServer::start() {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    open_listener();
    std::lock_guard lock(mutex_);
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void DeviceServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        stopping_ = true;
    }
    wake();
    thread_.join();
    std::vector<DeviceEvent> events;  // nobody to tell any more
    std::lock_guard lock(mutex_);
    running_ = false;
    close_connection(events);
    close_listener();
    close(wake_fd_);
    wake_fd_ = -1;
}

void DeviceServer::open_listener() {
    if (listen_fd_ >= 0) return;
    sockaddr_un addr = socket_address(path_);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    remove_stale_socket(path_);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        int err = errno;
        close(fd);
        throw std::system_error(err, std::generic_category(), "listen on " + path_);
    }
    listen_fd_ = fd;
}

void DeviceServer::close_listener() {
    if (listen_fd_ < 0) return;
    close(listen_fd_);
    listen_fd_ = -1;
    unlink(path_.c_str());
}

void DeviceServer::wake() const {
    uint64_t one = 1;
    ssize_t n = write(wake_fd_, &one, sizeof one);
    (void)n;  // a full counter still wakes the thread
}

void DeviceServer::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::vector<DeviceEvent> events;
        while (!commands_.empty()) {
            auto command = std::move(commands_.front());
            commands_.pop_front();
            command(events);
            ++commands_done_;
            notify_changed();
        }
        if (stopping_) break;
        release_due_replies();
        send_outgoing(events);

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wake_fd_, POLLIN, 0};
        int listen_index = -1, conn_index = -1;
        if (listen_fd_ >= 0) {
            listen_index = static_cast<int>(count);
            fds[count++] = {listen_fd_, POLLIN, 0};
        }
        if (conn_fd_ >= 0) {
            short want = 0;
            if (!stalled_) want |= POLLIN;
            if (!outgoing_.empty()) want |= POLLOUT;
            conn_index = static_cast<int>(count);
            fds[count++] = {conn_fd_, want, 0};
        }
        int timeout = poll_timeout_ms();

        lock.unlock();
        for (const DeviceEvent &e : events)
            if (observer_) observer_(e);
        events.clear();
        int ready = poll(fds, count, timeout);
        lock.lock();

        if (ready <= 0) continue;  // timeout (a delayed reply is due) or EINTR
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            ssize_t n = read(wake_fd_, &value, sizeof value);
            (void)n;
        }
        if (listen_index >= 0 && listen_fd_ == fds[listen_index].fd && (fds[listen_index].revents & POLLIN))
            accept_connection(events);
        else if (conn_index >= 0 && conn_fd_ == fds[conn_index].fd) {
            short revents = fds[conn_index].revents;
            if ((revents & POLLIN) && !stalled_) read_packets(events);
            if (conn_fd_ >= 0 && (revents & (POLLHUP | POLLERR))) close_connection(events);
        }
        if (!events.empty()) {
            lock.unlock();
            for (const DeviceEvent &e : events)
                if (observer_) observer_(e);
            lock.lock();
        }
    }
}

// The newest connection wins: a hub that connects again before its old
// connection is seen to end is served on the new one.
void DeviceServer::accept_connection(std::vector<DeviceEvent> &events) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    close_connection(events);
    conn_fd_ = fd;
    ++connections_;
    events.push_back({DeviceEvent::Type::Connected, {}});
    notify_changed();
}

void DeviceServer::close_connection(std::vector<DeviceEvent> &events) {
    if (conn_fd_ < 0) return;
    close(conn_fd_);
    conn_fd_ = -1;
    ++disconnections_;
    // Answers belong to their connection; injected frames wait for the next.
    delayed_.clear();
    std::erase_if(outgoing_, [](const Outgoing &o) { return o.is_reply; });
    events.push_back({DeviceEvent::Type::Disconnected, {}});
    notify_changed();
}

void DeviceServer::read_packets(std::vector<DeviceEvent> &events) {
    uint8_t buffer[RECEIVE_BUFFER];
    for (int burst = 0; burst < READ_BURST && conn_fd_ >= 0 && !stalled_; ++burst) {
        ssize_t n = recv(conn_fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            close_connection(events);
            return;
        }
        if (n == 0) {  // the hub closed its end
            close_connection(events);
            return;
        }
        if (static_cast<size_t>(n) > sizeof buffer) {
            ++malformed_;
            events.push_back({DeviceEvent::Type::Malformed, Bytes(buffer, buffer + sizeof buffer)});
            notify_changed();
            continue;
        }
        handle_packet(Bytes(buffer, buffer + n), events);
    }
}

void DeviceServer::handle_packet(const Bytes &packet, std::vector<DeviceEvent> &events) {
    if (auto frame = decode_write(packet)) {
        events.push_back({DeviceEvent::Type::PacketIn, packet});
        frames_.push_back(*frame);
        notify_changed();
    } else if (auto request = decode_ioctl(packet)) {
        events.push_back({DeviceEvent::Type::PacketIn, packet});
        handle_request({request->request, Bytes(request->arg.begin(), request->arg.end())}, events);
    } else {
        ++malformed_;
        events.push_back({DeviceEvent::Type::Malformed, packet});
        notify_changed();
    }
}

void DeviceServer::handle_request(IoctlPacket request, std::vector<DeviceEvent> &events) {
    requests_.push_back({request.request, request.arg, Clock::now()});
    notify_changed();

    if (drop_count_ != 0) {
        if (drop_count_ > 0) --drop_count_;
        events.push_back({DeviceEvent::Type::Dropped, encoded([&](std::span<uint8_t> out) {
                             return encode_ioctl(request.request, request.arg, out);
                         })});
        return;
    }
    ResultPacket reply;
    auto failing = fail_counts_.find(request.request);
    if (failing != fail_counts_.end() && failing->second != 0) {
        if (failing->second > 0) --failing->second;
        reply = {-1, request.arg};
    } else {
        reply = answer(request.request, request.arg);
    }
    Bytes packet = encoded([&](std::span<uint8_t> out) { return encode_result(reply.result, reply.arg, out); });
    if (reply_delay_.count() == 0 && delayed_.empty()) {
        outgoing_.push_back({std::move(packet), true});
        return;
    }
    // Never before an earlier answer: the hub pairs answers with requests by order.
    Clock::time_point due = Clock::now() + reply_delay_;
    if (!delayed_.empty()) due = std::max(due, delayed_.back().due);
    delayed_.push_back({due, std::move(packet)});
}

void DeviceServer::release_due_replies() {
    Clock::time_point now = Clock::now();
    while (!delayed_.empty() && delayed_.front().due <= now) {
        outgoing_.push_back({std::move(delayed_.front().packet), true});
        delayed_.pop_front();
    }
}

int DeviceServer::poll_timeout_ms() const {
    if (delayed_.empty()) return -1;
    auto left = std::chrono::ceil<Millis>(delayed_.front().due - Clock::now());
    return static_cast<int>(std::max<Millis::rep>(left.count(), 0));
}

void DeviceServer::send_outgoing(std::vector<DeviceEvent> &events) {
    while (conn_fd_ >= 0 && !outgoing_.empty()) {
        const Outgoing &next = outgoing_.front();
        ssize_t n = send(conn_fd_, next.packet.data(), next.packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;  // wait for POLLOUT
            close_connection(events);
            return;
        }
        events.push_back({DeviceEvent::Type::PacketOut, next.packet});
        if (!next.is_reply) --frames_waiting_;
        outgoing_.pop_front();
        notify_changed();
    }
}

void DeviceServer::run_command(std::function<void(std::vector<DeviceEvent> &)> command) {
    std::unique_lock lock(mutex_);
    if (!running_ || stopping_) return;  // going away: nothing left to steer
    commands_.push_back(std::move(command));
    uint64_t ticket = ++commands_queued_;
    wake();
    changed_.wait(lock, [&] { return commands_done_ >= ticket; });
}

bool DeviceServer::connected() const {
    std::lock_guard lock(mutex_);
    return conn_fd_ >= 0;
}

size_t DeviceServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

size_t DeviceServer::disconnections() const {
    std::lock_guard lock(mutex_);
    return disconnections_;
}

bool DeviceServer::wait_for_connections(size_t count, Millis timeout) {
    return wait_until(timeout, [&] { return connections_ >= count; });
}

bool DeviceServer::wait_for_disconnections(size_t count, Millis timeout) {
    return wait_until(timeout, [&] { return disconnections_ >= count; });
}

void DeviceServer::hang_up() {
    run_command([this](std::vector<DeviceEvent> &events) { close_connection(events); });
}

bool DeviceServer::set_listening(bool listening) {
    bool done = false;
    run_command([&](std::vector<DeviceEvent> &) {
        if (!listening) {
            close_listener();
            done = true;
            return;
        }
        try {
            open_listener();
            done = true;
        } catch (const std::system_error &) {
            // reported by the result: the test decides
        }
    });
    return done;
}

void DeviceServer::stall() {
    std::lock_guard lock(mutex_);
    stalled_ = true;
    wake();
}

void DeviceServer::resume() {
    std::lock_guard lock(mutex_);
    stalled_ = false;
    wake();
}

std::vector<CanFrame> DeviceServer::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

size_t DeviceServer::frame_count() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

bool DeviceServer::wait_for_frames(size_t count, Millis timeout) {
    return wait_until(timeout, [&] { return frames_.size() >= count; });
}

std::optional<CanFrame> DeviceServer::wait_for_frame(const std::function<bool(const CanFrame &)> &match,
                                                     Millis timeout, size_t from) {
    std::optional<CanFrame> found;
    wait_until(timeout, [&] {
        for (; from < frames_.size(); ++from)
            if (match(frames_[from])) {
                found = frames_[from];
                return true;
            }
        return false;
    });
    return found;
}

std::vector<Request> DeviceServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t DeviceServer::request_count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

size_t DeviceServer::request_count(uint32_t number) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(requests_.begin(), requests_.end(), [&](const Request &r) { return r.number == number; }));
}

bool DeviceServer::wait_for_requests(size_t count, Millis timeout) {
    return wait_until(timeout, [&] { return requests_.size() >= count; });
}

bool DeviceServer::wait_for_requests(uint32_t number, size_t count, Millis timeout) {
    return wait_until(timeout, [&] {
        return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                 [&](const Request &r) { return r.number == number; })) >= count;
    });
}

std::optional<Request> DeviceServer::wait_for_request(const std::function<bool(const Request &)> &match,
                                                      Millis timeout, size_t from) {
    std::optional<Request> found;
    wait_until(timeout, [&] {
        for (; from < requests_.size(); ++from)
            if (match(requests_[from])) {
                found = requests_[from];
                return true;
            }
        return false;
    });
    return found;
}

void DeviceServer::set_reply_delay(Millis delay) {
    std::lock_guard lock(mutex_);
    reply_delay_ = std::max(delay, Millis(0));
}

void DeviceServer::drop_replies(int count) {
    std::lock_guard lock(mutex_);
    drop_count_ = count;
}

void DeviceServer::fail_requests(uint32_t number, int count) {
    std::lock_guard lock(mutex_);
    fail_counts_[number] = count;
}

void DeviceServer::inject(const CanFrame &frame) {
    std::lock_guard lock(mutex_);
    outgoing_.push_back({encoded([&](std::span<uint8_t> out) { return encode_frame(frame, out); }), false});
    ++frames_waiting_;
    wake();
}

bool DeviceServer::wait_sent(Millis timeout) {
    return wait_until(timeout, [&] { return frames_waiting_ == 0; });
}

size_t DeviceServer::malformed_packets() const {
    std::lock_guard lock(mutex_);
    return malformed_;
}

}  // namespace devsim

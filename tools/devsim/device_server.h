// One simulated device on a device socket: listens at a path, serves one hub
// connection at a time on its own I/O thread, records what the hub sends and
// answers its requests through the device's `answer`. Tests steer it from
// other threads: every method here is thread-safe, and the waits block on a
// condition variable with a timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "can/can_frame.h"
#include "platform/device_packets.h"
#include "platform/device_requests.h"

namespace devsim {

using namespace devpacket;
using Bytes = std::vector<uint8_t>;

// A request as the device received it, and the answer the device gives.
struct IoctlPacket {
    uint32_t request;
    Bytes arg;
};
struct ResultPacket {
    int32_t result;
    Bytes arg;
};

// Host-order words inside argument bytes (the GPIO record, masks, the status word).
uint32_t arg_u32(std::span<const uint8_t> arg, size_t offset);
void set_arg_u32(Bytes &arg, size_t offset, uint32_t value);
Bytes u32_arg(std::initializer_list<uint32_t> words);

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// One 'I' packet as received.
struct Request {
    uint32_t number;
    Bytes arg;
    Clock::time_point at;
};

// What happened on the socket, for a trace. Packet events carry the whole
// packet, kind byte first.
struct DeviceEvent {
    enum class Type {
        Connected,     // the hub connected
        Disconnected,  // the connection ended (either side)
        PacketIn,      // a packet from the hub
        PacketOut,     // a packet sent to the hub
        Malformed,     // a packet from the hub of unknown kind or wrong size
        Dropped,       // a request left unanswered on purpose
    };
    Type type;
    Bytes packet;
};

// Called on the I/O thread, never with the device's lock held. It must not
// call the device's synchronous controls (hang_up, set_listening).
using DeviceObserver = std::function<void(const DeviceEvent &)>;

class DeviceServer {
public:
    DeviceServer(const DeviceServer &) = delete;
    DeviceServer &operator=(const DeviceServer &) = delete;
    virtual ~DeviceServer();

    const std::string &path() const { return path_; }

    // --- connection ---
    bool connected() const;
    size_t connections() const;     // accepted so far
    size_t disconnections() const;  // ended so far
    bool wait_for_connections(size_t count, Millis timeout);
    bool wait_for_disconnections(size_t count, Millis timeout);
    // Closes the current connection (the hub sees a hang-up); returns when it
    // is closed. The socket keeps listening, so the hub may connect again.
    void hang_up();
    // false: closes the listening socket and removes the path, so connecting
    // fails; true: listens again. Returns when done: true, or false when
    // listening again failed.
    bool set_listening(bool listening);

    // --- reading from the hub ---
    // Stops reading packets: the socket buffer fills and the hub's writes
    // block. resume() reads again.
    void stall();
    void resume();

    // --- frames the hub wrote ('W') ---
    std::vector<CanFrame> frames() const;
    size_t frame_count() const;
    bool wait_for_frames(size_t count, Millis timeout);
    // The first frame at index >= `from` that satisfies `match`.
    std::optional<CanFrame> wait_for_frame(const std::function<bool(const CanFrame &)> &match, Millis timeout,
                                           size_t from = 0);

    // --- requests the hub made ('I') ---
    std::vector<Request> requests() const;
    size_t request_count() const;
    size_t request_count(uint32_t number) const;
    bool wait_for_requests(size_t count, Millis timeout);
    bool wait_for_requests(uint32_t number, size_t count, Millis timeout);
    std::optional<Request> wait_for_request(const std::function<bool(const Request &)> &match, Millis timeout,
                                            size_t from = 0);

    // --- how requests are answered ---
    // Each answer leaves this long after its request arrived (answers keep
    // their order). Zero: at once.
    void set_reply_delay(Millis delay);
    // The next `count` requests are recorded but neither applied nor
    // answered; a negative count: every request until drop_replies(0).
    void drop_replies(int count);
    // The next `count` requests with this number are answered with result -1,
    // their argument bytes unchanged, and not applied; a negative count:
    // every one until fail_requests(number, 0).
    void fail_requests(uint32_t number, int count = 1);

    // --- frames to the hub ('F') ---
    // Queues a received frame. It goes out on the current connection, or on
    // the next one when none is open; a hang-up keeps it queued.
    void inject(const CanFrame &frame);
    // Waits until no injected frame is left unsent.
    bool wait_sent(Millis timeout);

    size_t malformed_packets() const;

protected:
    // Creates nothing yet: the derived device calls start() at the end of
    // its constructor and stop() first thing in its destructor, so the I/O
    // thread never sees a half-built or half-destroyed device.
    DeviceServer(std::string path, DeviceObserver observer);
    // Listens at the path (throws std::system_error when it cannot) and
    // starts the I/O thread.
    void start();
    // Ends the I/O thread, closes the sockets and removes the path.
    void stop();

    // The device's answer to one request; called on the I/O thread with the
    // state lock held.
    virtual ResultPacket answer(uint32_t request, const Bytes &arg) = 0;

    // The lock of all device state, derived state included, and the waits on it.
    std::mutex &state_mutex() const { return mutex_; }
    void notify_changed() { changed_.notify_all(); }
    template <class Predicate>
    bool wait_until(Millis timeout, Predicate done) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, done);
    }

private:
    struct Outgoing {
        Bytes packet;
        bool is_reply;
    };
    struct DelayedReply {
        Clock::time_point due;
        Bytes packet;
    };

    void run();
    void open_listener();
    void close_listener();
    void accept_connection(std::vector<DeviceEvent> &events);
    void close_connection(std::vector<DeviceEvent> &events);
    void read_packets(std::vector<DeviceEvent> &events);
    void handle_packet(const Bytes &packet, std::vector<DeviceEvent> &events);
    void handle_request(IoctlPacket request, std::vector<DeviceEvent> &events);
    void release_due_replies();
    void send_outgoing(std::vector<DeviceEvent> &events);
    int poll_timeout_ms() const;
    void run_command(std::function<void(std::vector<DeviceEvent> &)> command);
    void wake() const;

    const std::string path_;
    const DeviceObserver observer_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

    int listen_fd_ = -1;
    int conn_fd_ = -1;
    int wake_fd_ = -1;
    bool running_ = false;
    bool stopping_ = false;
    bool stalled_ = false;
    std::thread thread_;

    std::deque<std::function<void(std::vector<DeviceEvent> &)>> commands_;
    uint64_t commands_queued_ = 0;
    uint64_t commands_done_ = 0;

    size_t connections_ = 0;
    size_t disconnections_ = 0;
    size_t malformed_ = 0;
    std::vector<CanFrame> frames_;
    std::vector<Request> requests_;

    Millis reply_delay_{0};
    int drop_count_ = 0;
    std::map<uint32_t, int> fail_counts_;
    std::deque<DelayedReply> delayed_;
    std::deque<Outgoing> outgoing_;
    size_t frames_waiting_ = 0;  // injected frames in outgoing_
};

}  // namespace devsim

// hub-unitsim's I/O: the simulated CAN controller and GPIO device on their
// sockets, the behaviour models of the CPU node and the panel, the command
// lines from a script and standard input, and one poll loop that waits for
// device news, input, a signal or the models' next deadline. On a CAN
// interface instead of a device socket the unit asks for the hub's process
// data once a second until the hub's first frame says it is there. Everything it
// prints goes to standard output from this one thread.
#pragma once

#include <time.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "can_bus.h"
#include "devsim/can_device.h"
#include "devsim/gpio_device.h"
#include "script_queue.h"
#include "unit_commands.h"
#include "unit_model.h"

namespace unitsim {

// Hands the simulated devices' events from their I/O threads to the main
// loop: the observers push, an eventfd wakes the loop's poll, the loop takes
// everything at once. Each event carries the wall-clock time it happened.
enum class Device { Can, Gpio };

struct DeviceNews {
    Device device;
    devsim::DeviceEvent event;
    timespec at;  // CLOCK_REALTIME
};

class DeviceInbox {
public:
    DeviceInbox();  // throws std::system_error when the eventfd cannot be made
    ~DeviceInbox();
    DeviceInbox(const DeviceInbox &) = delete;
    DeviceInbox &operator=(const DeviceInbox &) = delete;

    // An observer for one device; runs on that device's I/O thread.
    devsim::DeviceObserver observer(Device device);
    // Readable while news is waiting.
    int fd() const { return fd_; }
    std::vector<DeviceNews> take();

private:
    void push(DeviceNews news);

    int fd_ = -1;
    std::mutex mutex_;
    std::deque<DeviceNews> news_;
};

struct UnitOptions {
    std::string can_path;  // a device socket, or a CAN interface (no '/', an existing interface)
    std::string gpio_path;
    std::string script_path;  // empty: none
    bool panel = false;
    bool hide_pdm = false;      // leave process-data requests and replies out of the log
    bool keep_running = false;  // keep serving when the input has ended
    bool strict = false;        // exit status 1 when a problem was seen
    int not_ready = 0;          // status queries answered "not ready" first
    uint8_t temperature = 50;   // raw sensor byte: 25.0 C
    Millis ack_timeout{500};
};

class UnitSimulator {
public:
    // Listens on both sockets; throws std::system_error when it cannot.
    explicit UnitSimulator(const UnitOptions &options);

    // Reads the script file (false, with the reason on standard error, when
    // it cannot), then serves until the input ends (unless keep_running),
    // a quit command or a signal on `signal_fd`. Returns the exit status.
    int run(int signal_fd);

private:
    void handle(const DeviceNews &news);
    void handle_can(const DeviceNews &news);
    void handle_gpio(const DeviceNews &news);
    void handle_bus(TimePoint now);
    void probe_hub(TimePoint now);
    void run_lines(TimePoint now);
    bool run_command(const UnitCommand &command, TimePoint now);
    void deliver(const ModelOutput &out);
    void log_frame(const CanFrame &frame, const timespec &at);
    std::optional<TimePoint> next_deadline() const;

    UnitOptions options_;
    DeviceInbox inbox_;  // before the devices: their observers push into it
    std::unique_ptr<CanBus> bus_;             // on a CAN interface, or
    std::unique_ptr<devsim::CanDevice> can_;  // the CAN controller's device socket
    devsim::GpioDevice gpio_;
    UnitModel model_;
    PanelModel panel_;
    tools::ScriptQueue script_;
    bool input_open_ = true;
    bool quit_ = false;
    std::optional<TimePoint> waiting_hub_until_;
    std::optional<TimePoint> next_probe_;  // on a bus: the next request that looks for the hub
    std::deque<uint32_t> gpio_requests_;  // numbers of the requests not answered yet
    std::optional<uint32_t> gpio_bits_shown_;
};

}  // namespace unitsim

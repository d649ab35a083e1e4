#include "unit_simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "can/frame_text.h"
#include "devsim/device_packets.h"
#include "script_input.h"
#include "strprintf.h"

namespace unitsim {
namespace {

void print_line(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
}

timespec wall_now() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

CalendarTime local_calendar() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return {static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint8_t>(local.tm_mon + 1),
            static_cast<uint8_t>(local.tm_mday),         static_cast<uint8_t>(local.tm_hour),
            static_cast<uint8_t>(local.tm_min),          static_cast<uint8_t>(local.tm_sec)};
}

// The once-a-second exchange that --hide-pdm leaves out of the log.
bool is_pdm_traffic(const CanFrame &f) {
    if (f.id == ID_CPU_PDM_REQUEST || f.id == ID_PANEL_PDM_REQUEST) return true;
    return f.id == ID_HUB_TO_CPU && f.length > 0 && f.data[0] == MSG_PDM_REPLY;
}

}  // namespace

DeviceInbox::DeviceInbox() {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

DeviceInbox::~DeviceInbox() { close(fd_); }

devsim::DeviceObserver DeviceInbox::observer(Device device) {
    return [this, device](const devsim::DeviceEvent &event) {
        DeviceNews news{device, event, {}};
        clock_gettime(CLOCK_REALTIME, &news.at);
        push(std::move(news));
    };
}

void DeviceInbox::push(DeviceNews news) {
    {
        std::lock_guard lock(mutex_);
        news_.push_back(std::move(news));
    }
    uint64_t one = 1;
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;  // a counter that is already set still wakes the loop
}

std::vector<DeviceNews> DeviceInbox::take() {
    uint64_t count;
    ssize_t n = read(fd_, &count, sizeof count);
    (void)n;  // nothing to read is fine: the queue says what is there
    std::lock_guard lock(mutex_);
    std::vector<DeviceNews> all(std::make_move_iterator(news_.begin()), std::make_move_iterator(news_.end()));
    news_.clear();
    return all;
}

UnitSimulator::UnitSimulator(const UnitOptions &options)
    : options_(options),
      gpio_(options.gpio_path, inbox_.observer(Device::Gpio)),
      model_(UnitSettings{}, ModelTiming{Millis(1000), options.ack_timeout}) {
    model_.expect_panel_acks(options.panel);
    if (names_can_interface(options.can_path)) {
        bus_ = std::make_unique<CanBus>(options.can_path);
    } else {
        can_ = std::make_unique<devsim::CanDevice>(options.can_path, inbox_.observer(Device::Can));
        can_->set_not_ready(options.not_ready);
    }
    gpio_.set_temperature(options.temperature);
}

void UnitSimulator::log_frame(const CanFrame &frame, const timespec &at) {
    if (options_.hide_pdm && is_pdm_traffic(frame)) return;
    char text[FRAME_TEXT_MAX];
    frame_to_candump(text, sizeof text, static_cast<long>(at.tv_sec), static_cast<long>(at.tv_nsec / 1000),
                     bus_ ? options_.can_path.c_str() : "can0", frame);
    print_line(text);
}

// Frames go to the hub; frames and notes go to the log in the order made.
void UnitSimulator::deliver(const ModelOutput &out) {
    size_t frame = 0, note = 0;
    for (bool is_frame : out.frame_next) {
        if (is_frame) {
            const CanFrame &f = out.frames[frame++];
            log_frame(f, wall_now());
            if (bus_)
                bus_->send(f);
            else
                can_->inject(f);
        } else {
            print_line(out.notes[note++]);
        }
    }
}

void UnitSimulator::handle(const DeviceNews &news) {
    if (news.device == Device::Can)
        handle_can(news);
    else
        handle_gpio(news);
}

void UnitSimulator::handle_can(const DeviceNews &news) {
    using Type = devsim::DeviceEvent::Type;
    ModelOutput out;
    TimePoint now = Clock::now();
    switch (news.event.type) {
    case Type::Connected: print_line("hub connected to the CAN controller"); break;
    case Type::Disconnected:
        print_line("hub disconnected from the CAN controller");
        model_.hub_lost(out);
        panel_.hub_lost();
        break;
    case Type::PacketIn:
        if (auto frame = devsim::decode_write(news.event.packet)) {
            log_frame(*frame, news.at);
            model_.frame_from_hub(now, *frame, out);
        }
        break;
    case Type::PacketOut:
        // The answer to a status query: "ready" starts the unit.
        if (auto result = devsim::decode_result(news.event.packet);
            result && result->result == 0 && result->arg.size() == 4) {
            bool ready = devsim::arg_u32(result->arg, 0) == static_cast<uint32_t>(devsim::CAN_STATUS_READY);
            print_line(ready ? "controller status query: ready" : "controller status query: not ready");
            if (ready && !model_.online()) {
                model_.hub_ready(now, local_calendar(), out);
                if (options_.panel) panel_.hub_ready(now);
            }
        }
        break;
    case Type::Malformed: print_line("malformed packet from the hub on the CAN controller"); break;
    case Type::Dropped: break;
    }
    deliver(out);
}

// Every frame on the bus is logged; the hub's frames drive the model, and
// the first of them (the answer to a probe) says the hub is up.
void UnitSimulator::handle_bus(TimePoint now) {
    while (auto frame = bus_->receive()) {
        ModelOutput out;
        log_frame(*frame, wall_now());
        if (frame->id == ID_HUB_TO_CPU) {
            if (!model_.online()) {
                out.note("hub answers on " + options_.can_path);
                model_.hub_ready(now, local_calendar(), out);
                if (options_.panel) panel_.hub_ready(now);
            }
            model_.frame_from_hub(now, *frame, out);
        }
        deliver(out);
    }
}

void UnitSimulator::probe_hub(TimePoint now) {
    if (!bus_ || model_.online() || (next_probe_ && now < *next_probe_)) return;
    CanFrame request{};
    request.id = ID_CPU_PDM_REQUEST;
    ModelOutput out;
    out.frame(request);
    deliver(out);
    next_probe_ = now + Millis(1000);
}

void UnitSimulator::handle_gpio(const DeviceNews &news) {
    using Type = devsim::DeviceEvent::Type;
    switch (news.event.type) {
    case Type::Connected: print_line("hub connected to the GPIO device"); break;
    case Type::Disconnected:
        print_line("hub disconnected from the GPIO device");
        gpio_requests_.clear();
        break;
    case Type::PacketIn:
        if (auto request = devsim::decode_ioctl(news.event.packet)) gpio_requests_.push_back(request->request);
        break;
    case Type::PacketOut: {
        auto result = devsim::decode_result(news.event.packet);
        if (!result || gpio_requests_.empty()) break;
        uint32_t number = gpio_requests_.front();
        gpio_requests_.pop_front();
        if (result->result != 0)
            print_line(tools::strprintf("gpio request %u failed (result %d)", static_cast<unsigned>(number),
                                        static_cast<int>(result->result)));
        else if (number == devsim::GPIO_REQ_READ_TEMPERATURE && result->arg.size() == 1)
            print_line("gpio temperature read: " + temperature_text(result->arg[0]));
        uint32_t bits = gpio_.bits();
        if (gpio_bits_shown_ != bits) print_line(gpio_lines_text(bits));
        gpio_bits_shown_ = bits;
        break;
    }
    case Type::Malformed: print_line("malformed packet from the hub on the GPIO device"); break;
    case Type::Dropped: break;
    }
}

// Returns false to end (quit).
bool UnitSimulator::run_command(const UnitCommand &command, TimePoint now) {
    ModelOutput out;
    if (auto *inject = std::get_if<InjectFrame>(&command)) {
        model_.frame_injected(now, inject->frame);
        out.frame(inject->frame);
    } else if (std::holds_alternative<RunExam>(command)) {
        model_.start_exam(now, out);
    } else if (auto *t = std::get_if<SetTemperature>(&command)) {
        gpio_.set_temperature(t->raw);
        out.note("temperature " + temperature_text(t->raw));
    } else if (auto *fail = std::get_if<FailGpio>(&command)) {
        gpio_.fail_requests(fail->request, fail->count);
        out.note(tools::strprintf("gpio: the next %d request(s) %u will fail", fail->count,
                                  static_cast<unsigned>(fail->request)));
    } else if (auto *wait = std::get_if<WaitHub>(&command)) {
        if (!model_.online()) waiting_hub_until_ = now + wait->timeout;
    } else if (auto *line = std::get_if<PanelLine>(&command)) {
        if (options_.panel)
            panel_.show_line(line->line, line->text, out);
        else
            std::fputs("hub-unitsim: panel-line needs --panel\n", stderr);
        for (const CanFrame &f : out.frames) model_.frame_injected(now, f);
    } else if (std::holds_alternative<PanelClear>(command)) {
        if (options_.panel)
            panel_.clear_display(out);
        else
            std::fputs("hub-unitsim: panel-clear needs --panel\n", stderr);
        for (const CanFrame &f : out.frames) model_.frame_injected(now, f);
    } else if (std::holds_alternative<ShowStatus>(command)) {
        out.note(model_.status_text());
        if (gpio_bits_shown_) out.note(gpio_lines_text(*gpio_bits_shown_));
        out.note("temperature " + temperature_text(gpio_.temperature()));
    } else if (std::holds_alternative<Quit>(command)) {
        return false;
    } else if (auto *bad = std::get_if<BadCommand>(&command)) {
        std::fprintf(stderr, "hub-unitsim: %s\n", bad->why.c_str());
    }
    deliver(out);
    return true;
}

void UnitSimulator::run_lines(TimePoint now) {
    if (waiting_hub_until_) {
        if (model_.online()) {
            waiting_hub_until_.reset();
        } else if (now >= *waiting_hub_until_) {
            waiting_hub_until_.reset();
            print_line("wait-hub: the hub did not come; going on");
        } else {
            return;
        }
    }
    while (!quit_ && !waiting_hub_until_) {
        auto line = script_.next(now);
        if (!line) break;
        quit_ = !run_command(parse_unit_command(*line), now);
    }
}

std::optional<TimePoint> UnitSimulator::next_deadline() const {
    return tools::earliest(tools::earliest(model_.next_deadline(), panel_.next_deadline()),
                           tools::earliest(script_.deadline(), tools::earliest(waiting_hub_until_, next_probe_)));
}

int UnitSimulator::run(int signal_fd) {
    std::string error;
    if (!options_.script_path.empty() && !tools::load_script_file(options_.script_path, script_, &error)) {
        std::fprintf(stderr, "hub-unitsim: %s\n", error.c_str());
        return 2;
    }
    print_line((bus_ ? "can  on interface " : "can  listening at ") + options_.can_path);
    print_line("gpio listening at " + options_.gpio_path);

    for (;;) {
        TimePoint now = Clock::now();
        ModelOutput out;
        model_.tick(now, out);
        panel_.tick(now, out);
        deliver(out);
        probe_hub(now);
        if (model_.online()) next_probe_.reset();
        run_lines(now);
        if (quit_ || (script_.finished() && !waiting_hub_until_ && !options_.keep_running)) break;

        pollfd fds[4] = {{signal_fd, POLLIN, 0},
                         {inbox_.fd(), POLLIN, 0},
                         {bus_ ? bus_->fd() : -1, POLLIN, 0},
                         {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, input_open_ ? 4 : 3, tools::poll_timeout(next_deadline())) < 0) {
            if (errno == EINTR) continue;
            std::perror("hub-unitsim: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) break;  // SIGINT or SIGTERM
        if (fds[1].revents & POLLIN)
            for (const DeviceNews &news : inbox_.take()) handle(news);
        if (fds[2].revents & POLLIN) handle_bus(Clock::now());
        if (input_open_ && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
            input_open_ = tools::feed_script(STDIN_FILENO, script_);
    }
    size_t problems = model_.problems();
    print_line(problems == 0 ? "unit: no problems seen"
                             : tools::strprintf("unit: %zu problem(s) seen (missing or unasked acknowledgements, "
                                                "unanswered process-data requests)",
                                                problems));
    return options_.strict && problems > 0 ? 1 : 0;
}

}  // namespace unitsim

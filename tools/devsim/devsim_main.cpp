// hub-devsim: the CAN controller and the GPIO device on device sockets, for
// running the hub off the board. Prints one line per packet both ways, takes
// frames to send to the hub (cansend notation) and a few commands on
// standard input, and ends on SIGINT, SIGTERM or the end of standard input.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

#include "stop_signals.h"
#include "can/frame_text.h"
#include "devsim/can_device.h"
#include "devsim/gpio_device.h"
#include "devsim/packet_text.h"

namespace {

const char USAGE[] =
    "usage: hub-devsim --can PATH --gpio PATH [--not-ready N] [--temperature RAW] [--keep-running]\n"
    "  --can PATH         device socket of the CAN controller\n"
    "  --gpio PATH        device socket of the GPIO device\n"
    "  --not-ready N      answer the first N status requests with \"not ready\" (-1: never ready)\n"
    "  --temperature RAW  temperature byte the GPIO device reports (0..255)\n"
    "  --keep-running     keep serving after standard input ends\n"
    "standard input, one per line:\n"
    "  287#1602           a frame for the hub, in cansend notation\n"
    "  temperature RAW    set the temperature byte\n"
    "  not-ready N        the next N status requests answer \"not ready\"\n"
    "  hangup can|gpio    close that device's connection\n";

struct Options {
    std::string can_path;
    std::string gpio_path;
    int not_ready = 0;
    int temperature = 0;
    bool keep_running = false;
};

bool parse_int(const char *text, long low, long high, int *out) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    *out = static_cast<int>(value);
    return true;
}

bool parse_options(int argc, char **argv, Options *options) {
    static const option longs[] = {
        {"can", required_argument, nullptr, 'c'},         {"gpio", required_argument, nullptr, 'g'},
        {"not-ready", required_argument, nullptr, 'n'},   {"temperature", required_argument, nullptr, 't'},
        {"keep-running", no_argument, nullptr, 'k'},      {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (c) {
        case 'c': options->can_path = optarg; break;
        case 'g': options->gpio_path = optarg; break;
        case 'n':
            if (!parse_int(optarg, -1, 1000000, &options->not_ready)) return false;
            break;
        case 't':
            if (!parse_int(optarg, 0, 255, &options->temperature)) return false;
            break;
        case 'k': options->keep_running = true; break;
        default: return false;
        }
    }
    return optind == argc && !options->can_path.empty() && !options->gpio_path.empty();
}

// Called from both devices' I/O threads: one fputs per line keeps lines whole.
void print_event(const char *device, const devsim::DeviceEvent &event) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::string line = devsim::event_line(device, event, static_cast<long>(now.tv_sec), now.tv_nsec / 1000);
    line += '\n';
    std::fputs(line.c_str(), stdout);
}

class Simulator {
public:
    explicit Simulator(const Options &options)
        : can_(options.can_path, [](const devsim::DeviceEvent &e) { print_event("can", e); }),
          gpio_(options.gpio_path, [](const devsim::DeviceEvent &e) { print_event("gpio", e); }) {
        can_.set_not_ready(options.not_ready);
        gpio_.set_temperature(static_cast<uint8_t>(options.temperature));
    }

    // One line of standard input.
    void command(const std::string &line) {
        if (line.empty() || line[0] == '#') return;
        if (line.find('#') != std::string::npos) {
            CanFrame frame{};
            if (frame_from_cansend(line.c_str(), &frame) != 0)
                std::fprintf(stderr, "hub-devsim: not a frame: %s\n", line.c_str());
            else
                can_.inject(frame);
            return;
        }
        char word[32] = "";
        char arg[64] = "";
        int parts = std::sscanf(line.c_str(), "%31s %63s", word, arg);
        int value = 0;
        if (parts == 2 && std::strcmp(word, "temperature") == 0 && parse_int(arg, 0, 255, &value)) {
            gpio_.set_temperature(static_cast<uint8_t>(value));
        } else if (parts == 2 && std::strcmp(word, "not-ready") == 0 && parse_int(arg, -1, 1000000, &value)) {
            can_.set_not_ready(value);
        } else if (parts == 2 && std::strcmp(word, "hangup") == 0 && std::strcmp(arg, "can") == 0) {
            can_.hang_up();
        } else if (parts == 2 && std::strcmp(word, "hangup") == 0 && std::strcmp(arg, "gpio") == 0) {
            gpio_.hang_up();
        } else {
            std::fprintf(stderr, "hub-devsim: unknown command: %s\n", line.c_str());
        }
    }

private:
    devsim::CanDevice can_;
    devsim::GpioDevice gpio_;
};

// Splits what standard input delivers into lines; false at its end.
bool read_input(Simulator &sim, std::string &pending) {
    char buffer[1024];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) {
        if (!pending.empty()) sim.command(pending);
        pending.clear();
        return false;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, newline);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pending.erase(0, newline + 1);
        sim.command(line);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before the devices start their threads, so only the signalfd sees them.
    int signal_fd = open_stop_signal_fd("hub-devsim");
    if (signal_fd < 0) return 1;

    std::unique_ptr<Simulator> sim;
    try {
        sim = std::make_unique<Simulator>(options);
    } catch (const std::system_error &e) {
        std::fprintf(stderr, "hub-devsim: %s\n", e.what());
        return 1;
    }
    // Whoever starts the hub next waits for these.
    std::printf("can  listening at %s\n", options.can_path.c_str());
    std::printf("gpio listening at %s\n", options.gpio_path.c_str());

    bool input_open = true;
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        nfds_t count = input_open ? 2 : 1;
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("hub-devsim: poll");
            break;
        }
        if (fds[0].revents & POLLIN) break;  // SIGINT or SIGTERM
        if (input_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            input_open = read_input(*sim, pending);
            if (!input_open && !options.keep_running) break;
        }
    }
    sim.reset();  // closes the connections and removes the socket files
    close(signal_fd);
    return 0;
}

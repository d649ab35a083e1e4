// hub-unitsim: the X-ray unit around the hub, on one Linux machine. It plays
// the CAN controller and the GPIO device on device sockets (as hub-devsim
// does), or sits on a CAN interface beside the hub, and plays the CPU node
// and, with --panel, the display panel.
// Every frame on the bus is logged in candump's log format; frames in
// cansend notation and commands come from a script and standard input.
#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <system_error>

#include "stop_signals.h"
#include "script_queue.h"
#include "unit_commands.h"
#include "unit_simulator.h"

namespace {

const char USAGE[] =
    "usage: hub-unitsim --can PATH --gpio PATH [options]\n"
    "  --can PATH|IFACE    device socket of the CAN controller (the hub's canDevice),\n"
    "                      or a CAN interface (vcan0, can0) the unit and the hub share\n"
    "  --gpio PATH         device socket of the GPIO device (the hub's gpioDevice)\n"
    "  --script FILE       run the command lines of FILE first, then standard input\n"
    "  --panel             play the display panel (node 3) as well (the hub needs display = true)\n"
    "  --temperature C     the sensor's temperature in degrees, half steps (default 25)\n"
    "  --not-ready N       answer the first N controller status queries \"not ready\" (device socket)\n"
    "  --ack-timeout MS    longest wait for an acknowledge frame (default 500)\n"
    "  --hide-pdm          leave the process-data requests and replies out of the log\n"
    "  --keep-running      keep running when the input has ended\n"
    "  --strict            exit status 1 when an acknowledgement or a reply was missing\n"
    "command lines:\n"
    "  217#0102030405060708   a frame for the hub (cansend notation)\n"
    "  exam                   run an exam (exam status codes 1, 2, 7, 3)\n"
    "  temperature C          set the sensor's temperature, e.g. 25.5\n"
    "  fail-gpio N [COUNT]    the next COUNT GPIO requests number N fail\n"
    "  wait-hub [MS]          hold the lines after it until the hub is ready\n"
    "  sleep MS               hold the lines after it for MS milliseconds\n"
    "  panel-line N TEXT      the panel shows TEXT on its line N (--panel)\n"
    "  panel-clear            the panel clears its display (--panel)\n"
    "  status                 print the unit's selection and state\n"
    "  quit                   end\n";

bool parse_options(int argc, char **argv, unitsim::UnitOptions *o) {
    static const option longs[] = {
        {"can", required_argument, nullptr, 'c'},         {"gpio", required_argument, nullptr, 'g'},
        {"script", required_argument, nullptr, 's'},      {"panel", no_argument, nullptr, 'p'},
        {"temperature", required_argument, nullptr, 't'}, {"not-ready", required_argument, nullptr, 'n'},
        {"ack-timeout", required_argument, nullptr, 'a'}, {"hide-pdm", no_argument, nullptr, 'H'},
        {"keep-running", no_argument, nullptr, 'k'},      {"strict", no_argument, nullptr, 'S'},
        {"help", no_argument, nullptr, 'h'},              {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (c) {
        case 'c': o->can_path = optarg; break;
        case 'g': o->gpio_path = optarg; break;
        case 's': o->script_path = optarg; break;
        case 'p': o->panel = true; break;
        case 't': {
            auto raw = unitsim::parse_temperature(optarg);
            if (!raw) return false;
            o->temperature = *raw;
            break;
        }
        case 'n': {
            auto n = tools::parse_number(optarg, -1, 1000000);
            if (!n) return false;
            o->not_ready = static_cast<int>(*n);
            break;
        }
        case 'a': {
            auto ms = tools::parse_number(optarg, 1, 600000);
            if (!ms) return false;
            o->ack_timeout = tools::Millis(*ms);
            break;
        }
        case 'H': o->hide_pdm = true; break;
        case 'k': o->keep_running = true; break;
        case 'S': o->strict = true; break;
        default: return false;
        }
    }
    return optind == argc && !o->can_path.empty() && !o->gpio_path.empty();
}

}  // namespace

int main(int argc, char **argv) {
    unitsim::UnitOptions options;
    if (!parse_options(argc, argv, &options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before the devices start their threads, so only the signalfd sees them.
    int signal_fd = open_stop_signal_fd("hub-unitsim");
    if (signal_fd < 0) return 1;

    std::unique_ptr<unitsim::UnitSimulator> sim;
    try {
        sim = std::make_unique<unitsim::UnitSimulator>(options);
    } catch (const std::system_error &e) {
        std::fprintf(stderr, "hub-unitsim: %s\n", e.what());
        return 1;
    }
    int status = sim->run(signal_fd);
    sim.reset();  // closes the connections and removes the socket files
    close(signal_fd);
    return status;
}

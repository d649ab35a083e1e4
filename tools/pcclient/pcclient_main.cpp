// hub-pcclient: a stand-in for the PC application. It connects to the hub,
// answers its watchdogs with a chosen PC status, prints every record the hub
// sends (decoded, checksum checked) and sends the events named on its
// command lines, from a script and standard input.
#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stop_signals.h"
#include "pc_link.h"
#include "pc_session.h"
#include "script_queue.h"

namespace {

const char USAGE[] =
    "usage: hub-pcclient --port N [options]\n"
    "       hub-pcclient --free-port\n"
    "  --host HOST       the hub's address (default 127.0.0.1)\n"
    "  --port N          the hub's TCP port (its serverPort)\n"
    "  --status N        PC status sent with every record and watchdog answer (default 0)\n"
    "  --script FILE     run the command lines of FILE first, then standard input\n"
    "  --wait MS         keep trying to connect for MS while the hub refuses\n"
    "  --keep-running    stay connected when the input has ended\n"
    "  --panel           redraw the display lines and the exam status in place\n"
    "  --free-port       print a TCP port free on 127.0.0.1 now, and exit\n"
    "command lines:\n"
    "  exam FAMILY EXAM | family FAMILY EXAM | kvma KV MA\n"
    "  pattype N | patsize N | patdent N\n"
    "  time-start | set-cal | req-cal | lock | unlock | debug-on | debug-off\n"
    "  close | watchdog | raw EVENT | status N\n"
    "  wait-record TYPE [MS]   TYPE: WATCHDOG LINE0 LINE1 DATE_TIME EXAM_STATUS EXAM_PARAM TEST_SEL\n"
    "  wait-unit [MS]          until the CPU node has reported in\n"
    "  sleep MS | quit\n";

int print_free_port() {
    uint16_t port = pcclient::free_port();
    if (port == 0) {
        std::fprintf(stderr, "hub-pcclient: no free port: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(port));
    return 0;
}

bool parse_options(int argc, char **argv, pcclient::PcOptions *o, bool *free_port) {
    static const option longs[] = {
        {"host", required_argument, nullptr, 'H'},  {"port", required_argument, nullptr, 'p'},
        {"status", required_argument, nullptr, 's'}, {"script", required_argument, nullptr, 'S'},
        {"wait", required_argument, nullptr, 'w'},  {"keep-running", no_argument, nullptr, 'k'},
        {"panel", no_argument, nullptr, 'P'},       {"free-port", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        std::optional<long> n;
        switch (c) {
        case 'H': o->host = optarg; break;
        case 'p':
            if (!(n = tools::parse_number(optarg, 1, 65535))) return false;
            o->port = static_cast<uint16_t>(*n);
            break;
        case 's':
            if (!(n = tools::parse_number(optarg, 0, 65535))) return false;
            o->status = static_cast<uint16_t>(*n);
            break;
        case 'S': o->script_path = optarg; break;
        case 'w':
            if (!(n = tools::parse_number(optarg, 0, 3600000))) return false;
            o->connect_wait = tools::Millis(*n);
            break;
        case 'k': o->keep_running = true; break;
        case 'P': o->panel = true; break;
        case 'f': *free_port = true; break;
        default: return false;
        }
    }
    return optind == argc && (*free_port || o->port != 0);
}

}  // namespace

int main(int argc, char **argv) {
    pcclient::PcOptions options;
    bool free_port = false;
    if (!parse_options(argc, argv, &options, &free_port)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (free_port) return print_free_port();
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int signal_fd = open_stop_signal_fd("hub-pcclient");
    if (signal_fd < 0) return 1;
    pcclient::PcSession session(options);
    int status = session.run(signal_fd);
    close(signal_fd);
    return status;
}

// hub-pcclient's I/O: one TCP connection to the hub, the command lines from
// a script and standard input, and one poll loop over the connection, the
// input, a signal and the next deadline (a sleep or a wait). Watchdogs are
// answered as they come; every record is printed decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "panel_view.h"
#include "pc_commands.h"
#include "record_stream.h"
#include "script_queue.h"

namespace pcclient {

using tools::Clock;
using tools::Millis;
using tools::TimePoint;

struct PcOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    uint16_t status = 0;       // the PC status the watchdog answers report
    std::string script_path;   // empty: none
    Millis connect_wait{0};    // keep trying while the hub refuses, this long
    bool keep_running = false; // stay connected when the input has ended
    bool panel = false;        // the live panel view instead of a line per record
};

class PcSession {
public:
    explicit PcSession(const PcOptions &options) : options_(options) {}
    ~PcSession();
    PcSession(const PcSession &) = delete;
    PcSession &operator=(const PcSession &) = delete;

    // Connects, runs the session until it ends and returns the exit status:
    // 0, or 1 after a protocol error (bad checksum, a short record at the
    // end, a refused connection, the hub closing unasked), a wait that ran
    // out or a bad command line; 2 when the script cannot be read.
    int run(int signal_fd);

private:
    struct Wait {
        enum Kind { Record, Unit, Close } kind;
        uint16_t type;
        TimePoint until;
    };

    bool connect_to_hub(int signal_fd);
    void run_lines(TimePoint now);
    bool run_command(const PcCommand &command, TimePoint now);
    void on_record(const HubRecord &record);
    bool send_record(PcToHub record);
    bool read_socket();
    void print(const std::string &line);
    void error(const std::string &what);
    std::optional<TimePoint> next_deadline() const;

    PcOptions options_;
    int fd_ = -1;
    RecordStream stream_;
    tools::ScriptQueue script_;
    PanelView panel_;
    std::optional<Wait> wait_;
    std::optional<uint16_t> word8_;  // from the last record
    bool input_open_ = true;
    bool quit_ = false;
    bool hub_closed_ = false;
    int errors_ = 0;
};

}  // namespace pcclient

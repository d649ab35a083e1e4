#include "pc_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pc_link.h"
#include "script_input.h"
#include "strprintf.h"

namespace pcclient {
namespace {

using tools::strprintf;

constexpr Millis CONNECT_RETRY(50);
constexpr Millis CLOSE_WAIT(5000);

// Word8 holds 6 until the CPU node has reported its test selection.
constexpr uint16_t CPU_NOT_INITIALISED = 6;

}  // namespace

PcSession::~PcSession() {
    if (fd_ >= 0) close(fd_);
}

void PcSession::print(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    panel_.interrupted();
}

void PcSession::error(const std::string &what) {
    ++errors_;
    std::fflush(stdout);
    std::fprintf(stderr, "hub-pcclient: %s\n", what.c_str());
    panel_.interrupted();
}

bool PcSession::connect_to_hub(int signal_fd) {
    TimePoint give_up = Clock::now() + options_.connect_wait;
    for (;;) {
        int err = 0;
        fd_ = pcclient::connect_to_hub(options_.host, options_.port, &err, 0, signal_fd);
        if (fd_ >= 0) return true;
        if (err == EINTR) return false;  // a stop signal
        // Only a hub that is not listening yet is worth waiting for.
        if (err != ECONNREFUSED || Clock::now() >= give_up) {
            error(strprintf("connect %s:%u: %s", options_.host.c_str(), unsigned{options_.port}, std::strerror(err)));
            return false;
        }
        pollfd p{signal_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(CONNECT_RETRY.count())) > 0) return false;  // a stop signal
    }
}

bool PcSession::send_record(PcToHub record) {
    record.PCStatus = options_.status;
    uint8_t bytes[PC_TO_HUB_SIZE];
    pc_to_hub_encode(record, bytes);
    if (!options_.panel) print(pc_record_text(record));
    if (send(fd_, bytes, sizeof bytes, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof bytes)) {
        error(strprintf("send: %s", std::strerror(errno)));
        return false;
    }
    return true;
}

void PcSession::on_record(const HubRecord &record) {
    HubRecordView view = view_hub_record(record.data());
    if (options_.panel) {
        std::fputs(panel_.draw(view).c_str(), stdout);
        std::fflush(stdout);
    } else {
        print(hub_record_text(view));
    }
    if (!view.checksum_ok())
        error(strprintf("protocol error: bad checksum in a %s record: %04X, computed %04X", view.type_name.c_str(),
                        unsigned{view.checksum}, unsigned{view.checksum_calc}));
    word8_ = view.word8;
    if (view.type == MSG_TYPE_WATCHDOG) {
        PcToHub answer{};
        answer.Event = PC_WATCHDOG;
        send_record(answer);
    }
    if (wait_ && ((wait_->kind == Wait::Record && wait_->type == view.type) ||
                  (wait_->kind == Wait::Unit && view.word8 != CPU_NOT_INITIALISED)))
        wait_.reset();
}

// False when the connection has ended.
bool PcSession::read_socket() {
    uint8_t buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        bool asked = wait_ && wait_->kind == Wait::Close;
        if (n < 0)
            error(strprintf("recv: %s", std::strerror(errno)));
        else if (asked)
            print("hub closed the connection");
        else
            error("the hub closed the connection");
        if (asked) wait_.reset();
        hub_closed_ = true;
        return false;
    }
    stream_.add(buffer, static_cast<size_t>(n));
    while (auto record = stream_.next()) on_record(*record);
    return true;
}

// False to end the session.
bool PcSession::run_command(const PcCommand &command, TimePoint now) {
    if (auto *event = std::get_if<SendEvent>(&command)) {
        if (!send_record(event->record)) return false;
        // The hub closes on PC_CLOSE_SOCKET: the records before that still come.
        if (event->record.Event == PC_CLOSE_SOCKET) wait_ = Wait{Wait::Close, 0, now + CLOSE_WAIT};
    } else if (auto *status = std::get_if<SetStatus>(&command)) {
        options_.status = status->status;
        PcToHub answer{};
        answer.Event = PC_WATCHDOG;
        return send_record(answer);
    } else if (auto *record = std::get_if<WaitRecord>(&command)) {
        wait_ = Wait{Wait::Record, record->type, now + record->timeout};
    } else if (auto *unit = std::get_if<WaitUnit>(&command)) {
        if (!word8_ || *word8_ == CPU_NOT_INITIALISED) wait_ = Wait{Wait::Unit, 0, now + unit->timeout};
    } else if (std::holds_alternative<Quit>(command)) {
        return false;
    } else if (auto *bad = std::get_if<BadCommand>(&command)) {
        error(bad->why);  // a script with a typo must not pass for a good one
    }
    return true;
}

void PcSession::run_lines(TimePoint now) {
    while (!quit_ && !wait_) {
        auto line = script_.next(now);
        if (!line) break;
        quit_ = !run_command(parse_pc_command(*line), now);
    }
}

std::optional<TimePoint> PcSession::next_deadline() const {
    return tools::earliest(script_.deadline(), wait_ ? std::optional<TimePoint>(wait_->until) : std::nullopt);
}

int PcSession::run(int signal_fd) {
    std::string why;
    if (!options_.script_path.empty() && !tools::load_script_file(options_.script_path, script_, &why)) {
        std::fprintf(stderr, "hub-pcclient: %s\n", why.c_str());
        return 2;
    }
    if (!connect_to_hub(signal_fd)) return 1;
    print(strprintf("connected to %s:%u", options_.host.c_str(), unsigned{options_.port}));

    for (;;) {
        TimePoint now = Clock::now();
        if (wait_ && now >= wait_->until) {
            if (wait_->kind == Wait::Record) {
                const char *name = hub_record_type_name(wait_->type);
                std::string type = name ? name : std::to_string(wait_->type);
                error(strprintf("wait-record %s: none came in time", type.c_str()));
            } else if (wait_->kind == Wait::Unit)
                error("wait-unit: the CPU node did not report in time");
            else
                error("close: the hub did not close the connection");
            break;
        }
        run_lines(now);
        if (quit_ || (script_.finished() && !wait_ && !options_.keep_running)) break;

        pollfd fds[3] = {{signal_fd, POLLIN, 0}, {fd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, input_open_ ? 3 : 2, tools::poll_timeout(next_deadline())) < 0) {
            if (errno == EINTR) continue;
            error(strprintf("poll: %s", std::strerror(errno)));
            break;
        }
        if (fds[0].revents & POLLIN) break;  // SIGINT or SIGTERM
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !read_socket()) break;
        if (input_open_ && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            input_open_ = tools::feed_script(STDIN_FILENO, script_);
    }
    if (stream_.pending() > 0)
        error(strprintf("protocol error: the connection ended inside a record (%zu of %zu bytes)", stream_.pending(),
                        HUB_TO_PC_SIZE));
    if (!hub_closed_) print("closing the connection");
    close(fd_);
    fd_ = -1;
    return errors_ > 0 ? 1 : 0;
}

}  // namespace pcclient

// The hub as a child process of a test: its own temporary directory (the
// working directory, where it reads "hub.conf"), a stub directory first on
// PATH (with a recording `ifconfig`, so the real one never runs), standard
// output and standard error on separate pipes read by a background thread,
// and an end by pid: SIGTERM, then SIGKILL, then waitpid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "output_log.h"
#include "temp_dir.h"

namespace hubtest {

// The hub built with this tree (the HUB_EXECUTABLE compile definition).
const char *hub_executable();

class HubProcess {
public:
    // Makes the temporary directory and its stub directory "bin" with the
    // recording `ifconfig`. Nothing runs yet.
    explicit HubProcess(std::string executable = hub_executable());
    // Ends the process (see stop) and removes the directory. When the current
    // test has failed, the process's output is printed first.
    ~HubProcess();
    HubProcess(const HubProcess &) = delete;
    HubProcess &operator=(const HubProcess &) = delete;

    // --- the directory ---
    const std::string &dir() const { return dir_.path(); }
    std::string path(const std::string &name) const { return dir_.file(name); }
    void write_file(const std::string &name, const std::string &text) const;
    std::string read_file(const std::string &name) const;

    // --- stub commands, found before the system's ---
    // Puts an executable script `name` (the whole text, "#!/bin/sh" line
    // included) in the stub directory.
    void add_stub(const std::string &name, const std::string &script) const;
    // A stub that appends its arguments ("$*") as one line to <dir>/<name>.calls
    // and succeeds. `ifconfig` is one from the start.
    void add_recording_stub(const std::string &name) const;
    std::vector<std::string> stub_calls(const std::string &name) const;
    bool wait_stub_calls(const std::string &name, size_t count, Millis timeout) const;

    // An environment variable for the process (before start).
    void set_env(const std::string &name, const std::string &value) { env_[name] = value; }

    // Standard input from a stream (a socket) that write_stdin feeds, instead
    // of /dev/null (before start; for tools that read commands). close_stdin
    // gives the process its end of input.
    void use_stdin_pipe() { stdin_pipe_ = true; }
    bool write_stdin(const std::string &text);
    void close_stdin();

    // --- running ---
    // Writes `config_text` to <dir>/hub.conf and starts the executable there
    // with `args`, standard input from /dev/null and default signal handling.
    // Throws std::system_error when it cannot start.
    void start(const std::string &config_text, const std::vector<std::string> &args = {});
    pid_t pid() const { return pid_; }
    // Started, and not yet seen to exit.
    bool running();
    // Sends one signal to the process, if it still runs.
    void signal(int signo);
    // Waits for the process to end by itself: its wait status, or nullopt on timeout.
    std::optional<int> wait_exit(Millis timeout);
    // The wait status, once the process has ended.
    std::optional<int> exit_status() const { return status_; }
    // SIGTERM, up to `grace` for it to end, then SIGKILL; reaps it. Returns
    // the wait status (also when it had already ended); -1 when never started.
    int stop(Millis grace = Millis(2000));

    // User plus system CPU time the process has used so far, all its threads
    // (/proc/PID/stat). Throws std::runtime_error once it has been reaped.
    Millis cpu_time() const;

    // --- output ---
    const OutputLog &out() const { return stdout_; }
    const OutputLog &err() const { return stderr_; }
    std::vector<std::string> stdout_lines() const { return stdout_.lines(); }
    std::vector<std::string> stderr_lines() const { return stderr_.lines(); }
    std::string stdout_text() const { return stdout_.text(); }
    std::string stderr_text() const { return stderr_.text(); }
    // The index of the first line at index >= `from` equal to `line` / satisfying
    // `match`; nullopt on timeout or when the stream ended first.
    std::optional<size_t> wait_stdout_line(const std::string &line, Millis timeout, size_t from = 0) const {
        return stdout_.wait_line(line, timeout, from);
    }
    std::optional<size_t> wait_stdout_line(const LineMatch &match, Millis timeout, size_t from = 0) const {
        return stdout_.wait_line(match, timeout, from);
    }
    std::optional<size_t> wait_stderr_line(const std::string &line, Millis timeout, size_t from = 0) const {
        return stderr_.wait_line(line, timeout, from);
    }
    std::optional<size_t> wait_stderr_line(const LineMatch &match, Millis timeout, size_t from = 0) const {
        return stderr_.wait_line(match, timeout, from);
    }
    // Raw standard output contains `needle` at or after byte `from`.
    bool wait_stdout_text(const std::string &needle, Millis timeout, size_t from = 0) const {
        return stdout_.wait_text(needle, timeout, from);
    }

private:
    void read_output();
    void stop_reader();
    void dump_output() const;

    TempDir dir_;
    std::string executable_;
    std::map<std::string, std::string> env_;
    bool stdin_pipe_ = false;
    int stdin_fd_ = -1;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    int reader_stop_fd_ = -1;
    std::thread reader_;
    OutputLog stdout_;
    OutputLog stderr_;
};

}  // namespace hubtest

// The hub (or a tool) as a test's child: a temporary working directory, a
// stub directory first on PATH (a recording `ifconfig`: the real one never
// runs), its outputs read by a thread, and an end by pid.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "file_wait.h"
#include "output_log.h"

namespace hubtest {

using tools::read_text_file;
using tools::write_text_file;

// The hub built with this tree.
const char *hub_executable();

class HubProcess {
public:
    explicit HubProcess(std::string executable = hub_executable());
    // Ends the process, prints its output if the test failed, removes the directory.
    ~HubProcess();
    HubProcess(const HubProcess &) = delete;
    HubProcess &operator=(const HubProcess &) = delete;

    const std::string &dir() const { return dir_.path(); }
    std::string path(const std::string &name) const { return dir_.file(name); }
    void write_file(const std::string &name, const std::string &text) const { write_text_file(path(name), text); }

    // An executable script `name` (its whole text) in the stub directory.
    void add_stub(const std::string &name, const std::string &script) const {
        write_text_file(path("bin/" + name), script, 0755);
    }
    // A stub that appends its arguments ("$*") as a line to <dir>/<name>.calls.
    void add_recording_stub(const std::string &name) const {
        add_stub(name, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + path(name + ".calls") + "'\n");
    }
    std::vector<std::string> stub_calls(const std::string &name) const { return read_lines(path(name + ".calls")); }
    bool wait_stub_calls(const std::string &name, size_t count, Millis timeout) const {
        return wait_file_lines(path(name + ".calls"), count, timeout);
    }

    // Before start: an environment variable (the hub's alone, not its
    // wrapper's), standard input from write_stdin, a command that runs the
    // hub's command line (its last arguments) in the end.
    void set_env(const std::string &name, const std::string &value) { env_[name] = value; }
    void set_wrapper(std::vector<std::string> words) { wrapper_ = std::move(words); }
    void use_stdin_pipe() { stdin_pipe_ = true; }
    bool write_stdin(const std::string &text);
    void close_stdin();

    // Writes <dir>/hub.conf and starts the executable there; throws std::system_error when it cannot.
    void start(const std::string &config_text, const std::vector<std::string> &args = {});
    pid_t pid() const { return child_.pid(); }
    bool running() { return child_.running(); }
    // The wait status once the process ends by itself.
    std::optional<int> wait_exit(Millis timeout) { return child_.wait_exit(timeout); }
    // SIGTERM, up to `grace`, then SIGKILL, and the output read to its end;
    // the wait status, -1 if never started.
    int stop(Millis grace = Millis(2000));
    // User plus system time of all its threads so far (/proc/PID/stat).
    Millis cpu_time() const;
    // The value of the TCP option `option` on the hub's end of the connection
    // from 127.0.0.1:peer_port (its socket taken through the pidfd); -1 when
    // the hub holds no such connection.
    int tcp_option(uint16_t peer_port, int option) const;

    const OutputLog &out() const { return stdout_; }
    const OutputLog &err() const { return stderr_; }
    std::vector<std::string> stdout_lines() const { return stdout_.lines(); }
    std::vector<std::string> stderr_lines() const { return stderr_.lines(); }
    std::string stdout_text() const { return stdout_.text(); }
    std::string stderr_text() const { return stderr_.text(); }
    template <class Match>
    std::optional<size_t> wait_stdout_line(const Match &match, Millis timeout, size_t from = 0) const {
        return stdout_.wait_line(match, timeout, from);
    }
    template <class Match>
    std::optional<size_t> wait_stderr_line(const Match &match, Millis timeout, size_t from = 0) const {
        return stderr_.wait_line(match, timeout, from);
    }

private:
    void read_output(int out_fd, int err_fd);

    tools::TempDir dir_;
    std::string executable_;
    std::map<std::string, std::string> env_;
    std::vector<std::string> wrapper_;
    bool stdin_pipe_ = false;
    int stdin_fd_ = -1;
    tools::ChildProcess child_;
    std::thread reader_;
    OutputLog stdout_;
    OutputLog stderr_;
};

}  // namespace hubtest

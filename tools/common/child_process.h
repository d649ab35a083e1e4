// A program run as a child of the test harness or the benchmark: a fresh
// temporary folder to run it in, close-on-exec pipes, a spawn with exactly
// the descriptors and environment given, and a wait on its pidfd (never a
// sleep). Every failure to set one up throws std::system_error.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tools {

using Millis = std::chrono::milliseconds;

// A fresh folder, removed with everything in it when this goes.
class TempDir {
public:
    // Under $TMPDIR (or /tmp when that is unset or too long to leave room for
    // the Unix socket paths put inside: they hold at most 107 bytes), named
    // <prefix>-XXXXXX.
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `text` to `path` (created or truncated) with exactly that mode.
void write_text_file(const std::string &path, const std::string &text, unsigned mode = 0644);
// The whole file; empty when it does not exist.
std::string read_text_file(const std::string &path);

// pipe2() with O_CLOEXEC: [0] reads, [1] writes.
void open_pipe(int fds[2]);

// This process's environment, "NAME=value" each.
std::vector<std::string> current_environment();

struct SpawnOptions {
    std::vector<std::string> argv;  // argv[0] is the program's path (no PATH search)
    std::vector<std::string> env;  // the child's whole environment, "NAME=value" each
    std::string dir;  // its working directory; empty: this process's
    // {child's descriptor, this process's descriptor}: only these reach the
    // child (this process's own are all close-on-exec); standard input not
    // listed reads /dev/null. Order does not matter.
    std::vector<std::pair<int, int>> fds;
};

class ChildProcess {
public:
    ChildProcess() = default;
    // Stops the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Spawns it with every signal at its default and none blocked, whatever
    // this process did with its own.
    void start(const SpawnOptions &options);
    pid_t pid() const { return pid_; }
    // Readable once the child has ended, for a caller's own poll().
    int pidfd() const { return pidfd_; }
    bool started() const { return pid_ > 0; }
    bool running() { return started() && !wait_exit(Millis(0)); }
    // The wait status once the child has ended by itself within `timeout`.
    std::optional<int> wait_exit(Millis timeout);
    // SIGTERM, up to `grace`, then SIGKILL; the wait status, -1 if never started.
    int stop(Millis grace = Millis(2000));
    // The child's resource usage once it has been reaped (peak RSS, times).
    const rusage &usage() const { return usage_; }

private:
    void reap(int options);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
    rusage usage_{};
};

}  // namespace tools

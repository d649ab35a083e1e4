#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tools {
namespace {

[[noreturn]] void fail(int err, const std::string &what) { throw std::system_error(err, std::generic_category(), what); }

// The argv/envp form of `texts`, which must outlive it.
std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> out(texts.size() + 1, nullptr);
    std::transform(texts.begin(), texts.end(), out.begin(), [](std::string &t) { return t.data(); });
    return out;
}

// posix_spawn's file actions and attributes, released however start() leaves.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    std::vector<int> copies;  // this process's temporary duplicates
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        for (int fd : copies) close(fd);
    }
};

}  // namespace

TempDir::TempDir(const std::string &prefix) {
    const char *base = std::getenv("TMPDIR");
    std::string name = (base && *base && std::string(base).size() <= 60 ? base : "/tmp") + ("/" + prefix + "-XXXXXX");
    if (mkdtemp(name.data()) == nullptr) fail(errno, "mkdtemp " + name);
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_text_file(const std::string &path, const std::string &text, unsigned mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) fail(errno, "write " + path);
    chmod(path.c_str(), mode);  // not masked by the umask: a script must be executable
}

std::string read_text_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void open_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) fail(errno, "pipe2");
}

std::vector<std::string> current_environment() {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    return env;
}

ChildProcess::~ChildProcess() {
    stop();
    if (pidfd_ >= 0) close(pidfd_);
}

void ChildProcess::start(const SpawnOptions &options) {
    if (options.argv.empty()) fail(EINVAL, "spawn without a program");
    SpawnSetup setup;
    // Each descriptor is first copied above every target, so that placing
    // one never overwrites another still to be placed.
    int above = 3;
    for (const auto &[target, source] : options.fds) above = std::max(above, target + 1);
    bool stdin_given = false;
    for (const auto &[target, source] : options.fds) {
        int copy = fcntl(source, F_DUPFD_CLOEXEC, above);
        if (copy < 0) fail(errno, "dup");
        setup.copies.push_back(copy);
        posix_spawn_file_actions_adddup2(&setup.actions, copy, target);
        stdin_given = stdin_given || target == STDIN_FILENO;
    }
    if (!stdin_given) posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!options.dir.empty()) posix_spawn_file_actions_addchdir_np(&setup.actions, options.dir.c_str());
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv = options.argv, env = options.env;
    pid_t child;
    int rc = posix_spawn(&child, argv[0].c_str(), &setup.actions, &setup.attr, pointers(argv).data(),
                         pointers(env).data());
    if (rc != 0) fail(rc, "spawn " + argv[0]);
    pid_ = child;
    status_.reset();
    usage_ = {};
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) {
        int err = errno;
        stop(Millis(0));
        fail(err, "pidfd_open");
    }
}

void ChildProcess::reap(int options) {
    int status;
    pid_t r;
    while ((r = wait4(pid_, &status, options, &usage_)) < 0 && errno == EINTR) {
    }
    if (r == pid_) status_ = status;
}

std::optional<int> ChildProcess::wait_exit(Millis timeout) {
    if (!started() || status_) return status_;
    pollfd entry{pidfd_, POLLIN, 0};
    int ms = static_cast<int>(std::min<long long>(timeout.count(), 24LL * 3600 * 1000));
    int n;
    while ((n = poll(&entry, 1, ms)) < 0 && errno == EINTR) {
    }
    if (n > 0) reap(WNOHANG);
    return status_;
}

int ChildProcess::stop(Millis grace) {
    if (!started()) return -1;
    if (!status_) {
        kill(pid_, SIGTERM);
        if (!wait_exit(grace)) {
            kill(pid_, SIGKILL);
            reap(0);
        }
    }
    return status_ ? *status_ : -1;
}

}  // namespace tools

#include "hub_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "file_wait.h"
#include <fstream>

extern char **environ;

namespace hubtest {
namespace {

#ifndef HUB_EXECUTABLE
#define HUB_EXECUTABLE ""
#endif
#ifndef HUB_EMULATOR
#define HUB_EMULATOR ""
#endif

constexpr const char *STUB_DIR = "bin";
// Lines of each stream shown when a test fails.
constexpr size_t DUMP_LINES = 200;

[[noreturn]] void fail(int err, const std::string &what) {
    throw std::system_error(err, std::generic_category(), what);
}

int pidfd_open(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// The environment of the test, PATH led by the stub directory, plus `extra`.
std::vector<std::string> child_environment(const std::string &stub_dir,
                                           const std::map<std::string, std::string> &extra) {
    std::map<std::string, std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const char *eq = std::strchr(*entry, '=');
        if (eq != nullptr) env[std::string(*entry, static_cast<size_t>(eq - *entry))] = eq + 1;
    }
    auto path = env.find("PATH");
    env["PATH"] = stub_dir + ":" + (path != env.end() ? path->second : std::string("/usr/bin:/bin"));
    for (const auto &[name, value] : extra) env[name] = value;
    std::vector<std::string> out;
    for (const auto &[name, value] : env) out.push_back(name + "=" + value);
    return out;
}

void drain(int &fd, OutputLog &log) {
    char buffer[4096];
    while (fd >= 0) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            log.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        close(fd);  // end of stream, or an error that ends it just as well
        fd = -1;
        log.close();
    }
}

// ELF class, byte order and machine: what tells one target from another.
std::string elf_machine(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    char header[20];
    if (!in.read(header, sizeof header) || std::string(header, 4) != "\x7f" "ELF") return {};
    return std::string(header + 4, 2) + std::string(header + 18, 2);
}

// A cross build whose tests run under an emulator (HUB_EMULATOR, e.g.
// "/usr/bin/qemu-ppc -L /usr/powerpc-linux-gnu") runs the programs it built
// for the target through that emulator; scripts and the system's own
// programs run as they are. Under the emulator /proc/self/exe is the test.
std::vector<std::string> target_command(const std::string &executable) {
    std::vector<std::string> words;
    std::istringstream emulator(HUB_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
    std::string machine = elf_machine(executable);
    if (words.empty() || machine.empty() || machine != elf_machine("/proc/self/exe")) return {executable};
    words.push_back(executable);
    return words;
}

}  // namespace

const char *hub_executable() { return HUB_EXECUTABLE; }

HubProcess::HubProcess(std::string executable) : dir_("hub-e2e"), executable_(std::move(executable)) {
    std::string stubs = dir_.file(STUB_DIR);
    if (mkdir(stubs.c_str(), 0755) != 0) fail(errno, "mkdir " + stubs);
    add_recording_stub("ifconfig");
}

HubProcess::~HubProcess() {
    stop();
    if (::testing::Test::HasFailure()) dump_output();
    if (pidfd_ >= 0) close(pidfd_);
}

void HubProcess::write_file(const std::string &name, const std::string &text) const {
    write_text_file(path(name), text);
}

std::string HubProcess::read_file(const std::string &name) const { return read_text_file(path(name)); }

void HubProcess::add_stub(const std::string &name, const std::string &script) const {
    write_text_file(path(std::string(STUB_DIR) + "/" + name), script, 0755);
}

void HubProcess::add_recording_stub(const std::string &name) const {
    add_stub(name, "#!/bin/sh\n"
                   "# Stand-in for " + name + ": records its arguments and changes nothing.\n"
                   "printf '%s\\n' \"$*\" >> '" + path(name + ".calls") + "'\n");
}

std::vector<std::string> HubProcess::stub_calls(const std::string &name) const {
    return read_lines(path(name + ".calls"));
}

bool HubProcess::wait_stub_calls(const std::string &name, size_t count, Millis timeout) const {
    return wait_file_lines(path(name + ".calls"), count, timeout);
}

void HubProcess::start(const std::string &config_text, const std::vector<std::string> &args) {
    if (pid_ >= 0) throw std::logic_error("the hub process was already started");
    write_file("hub.conf", config_text);

    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1}, in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
        (stdin_pipe_ && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pipe) != 0)) {
        int err = errno;
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd >= 0) close(fd);
        fail(err, "pipe2");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_pipe_)
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, dir().c_str());

    // A clean start whatever the test process did with its signals.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signo : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, signo);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> env = child_environment(path(STUB_DIR), env_);
    std::vector<char *> envp;
    for (std::string &entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_text = target_command(executable_);
    arg_text.insert(arg_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : arg_text) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid;
    int err = posix_spawn(&pid, arg_text[0].c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    stdin_fd_ = in_pipe[1];
    if (err != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        close_stdin();
        fail(err, "start " + executable_);
    }
    pid_ = pid;
    pidfd_ = pidfd_open(pid);
    if (pidfd_ < 0) {
        err = errno;
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
        status_ = status;
        close(out_pipe[0]);
        close(err_pipe[0]);
        fail(err, "pidfd_open");
    }

    stdout_fd_ = out_pipe[0];
    stderr_fd_ = err_pipe[0];
    fcntl(stdout_fd_, F_SETFL, O_NONBLOCK);
    fcntl(stderr_fd_, F_SETFL, O_NONBLOCK);
    reader_stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (reader_stop_fd_ < 0) fail(errno, "eventfd");
    reader_ = std::thread([this] { read_output(); });
}

// Reads both pipes as they fill, so the hub never blocks on a full pipe.
void HubProcess::read_output() {
    for (;;) {
        pollfd fds[3] = {{reader_stop_fd_, POLLIN, 0}, {stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
        if (stdout_fd_ < 0 && stderr_fd_ < 0) return;
        if (poll(fds, 3, -1) < 0 && errno != EINTR) return;
        drain(stdout_fd_, stdout_);
        drain(stderr_fd_, stderr_);
        if (fds[0].revents & POLLIN) break;
    }
    // Asked to stop: what is left is all there will be.
    if (stdout_fd_ >= 0) close(stdout_fd_);
    if (stderr_fd_ >= 0) close(stderr_fd_);
    stdout_fd_ = stderr_fd_ = -1;
    stdout_.close();
    stderr_.close();
}

void HubProcess::stop_reader() {
    if (!reader_.joinable()) return;
    uint64_t one = 1;
    ssize_t n = write(reader_stop_fd_, &one, sizeof one);
    (void)n;
    reader_.join();
    close(reader_stop_fd_);
    reader_stop_fd_ = -1;
}

bool HubProcess::write_stdin(const std::string &text) {
    size_t done = 0;
    while (stdin_fd_ >= 0 && done < text.size()) {
        // A socket rather than a pipe: a process that went away is an error, not SIGPIPE.
        ssize_t n = send(stdin_fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return stdin_fd_ >= 0;
}

void HubProcess::close_stdin() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
}

bool HubProcess::running() {
    if (pid_ < 0 || status_) return false;
    return !wait_exit(Millis(0));
}

void HubProcess::signal(int signo) {
    if (running()) kill(pid_, signo);
}

std::optional<int> HubProcess::wait_exit(Millis timeout) {
    if (pid_ < 0 || status_) return status_;
    pollfd entry{pidfd_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, static_cast<int>(std::max<Millis::rep>(timeout.count(), 0)));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return std::nullopt;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_;
}

int HubProcess::stop(Millis grace) {
    if (pid_ < 0) return -1;
    if (!status_) {
        kill(pid_, SIGTERM);
        if (!wait_exit(grace)) {
            kill(pid_, SIGKILL);
            int status;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = status;
        }
    }
    stop_reader();
    close_stdin();
    return *status_;
}

Millis HubProcess::cpu_time() const {
    if (pid_ < 0 || status_) throw std::runtime_error("cpu_time: the hub process is not running");
    std::string stat = read_text_file("/proc/" + std::to_string(pid_) + "/stat");
    // The command name may hold spaces and parentheses; fields follow the last ')'.
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) throw std::runtime_error("cpu_time: unreadable /proc stat");
    std::istringstream fields(stat.substr(close_paren + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; index <= 15 && (fields >> field); ++index) {  // field 3 is the state
        if (index == 14) utime = std::stoull(field);
        if (index == 15) stime = std::stoull(field);
    }
    long ticks = sysconf(_SC_CLK_TCK);
    return Millis(static_cast<long long>((utime + stime) * 1000ULL / static_cast<unsigned long long>(ticks)));
}

void HubProcess::dump_output() const {
    for (const auto &[name, log] : {std::pair<const char *, const OutputLog *>{"stdout", &stdout_},
                                    std::pair<const char *, const OutputLog *>{"stderr", &stderr_}}) {
        std::vector<std::string> lines = log->lines();
        size_t first = lines.size() > DUMP_LINES ? lines.size() - DUMP_LINES : 0;
        std::cerr << "---- hub " << name << " (" << lines.size() << " lines";
        if (first > 0) std::cerr << ", last " << DUMP_LINES << " shown";
        std::cerr << ") ----\n";
        for (size_t i = first; i < lines.size(); ++i) std::cerr << lines[i] << '\n';
    }
}

}  // namespace hubtest

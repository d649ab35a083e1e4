#include "hub_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

extern char **environ;

#ifndef HUB_EXECUTABLE
#define HUB_EXECUTABLE ""
#endif
#ifndef HUB_EMULATOR
#define HUB_EMULATOR ""
#endif

namespace hubtest {
namespace {

[[noreturn]] void fail(int err, const std::string &what) { throw std::system_error(err, std::generic_category(), what); }

// ELF class, byte order and machine: what tells one target from another.
std::string elf_machine(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    char header[20];
    if (!in.read(header, sizeof header) || std::string(header, 4) != "\x7f" "ELF") return {};
    return std::string(header + 4, 2) + std::string(header + 18, 2);
}

// A cross build runs the programs it built for the target through its
// emulator (HUB_EMULATOR); scripts and the system's programs run as they are.
std::vector<std::string> command(const std::string &executable, const std::vector<std::string> &args) {
    std::vector<std::string> words;
    std::istringstream emulator(HUB_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
    std::string machine = elf_machine(executable);
    if (machine.empty() || machine != elf_machine("/proc/self/exe")) words.clear();
    words.push_back(executable);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> out;
    for (std::string &t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Whatever the pipe holds now; false once it has ended.
bool drain(int fd, OutputLog &log) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) log.append(buffer, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else return n < 0 && errno == EAGAIN;
    }
}

}  // namespace

const char *hub_executable() { return HUB_EXECUTABLE; }

HubProcess::HubProcess(std::string executable) : dir_("hub-e2e"), executable_(std::move(executable)) {
    if (mkdir(path("bin").c_str(), 0755) != 0) fail(errno, "mkdir " + path("bin"));
    add_recording_stub("ifconfig");
}

HubProcess::~HubProcess() {
    stop();
    if (::testing::Test::HasFailure())
        for (const OutputLog *log : {&stdout_, &stderr_}) {
            auto lines = log->lines();
            std::cerr << "---- hub " << (log == &stdout_ ? "stdout" : "stderr") << " (" << lines.size() << " lines) ----\n";
            for (size_t i = lines.size() > 200 ? lines.size() - 200 : 0; i < lines.size(); ++i) std::cerr << lines[i] << '\n';
        }
    if (pidfd_ >= 0) close(pidfd_);
}

void HubProcess::start(const std::string &config_text, const std::vector<std::string> &args) {
    write_file("hub.conf", config_text);
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        // A socket rather than a pipe: writing to a process that went away is an error, not SIGPIPE.
        (stdin_pipe_ && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0))
        fail(errno, "pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_pipe_) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
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

    std::map<std::string, std::string> vars;
    for (char **e = environ; *e != nullptr; ++e)
        if (const char *eq = std::strchr(*e, '=')) vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    vars["PATH"] = path("bin") + ":" + (vars.count("PATH") ? vars["PATH"] : "/usr/bin:/bin");
    for (const auto &[name, value] : env_) vars[name] = value;
    std::vector<std::string> env, argv = command(executable_, args);
    for (const auto &[name, value] : vars) env.push_back(name + "=" + value);
    int rc = posix_spawn(&pid_, argv[0].c_str(), &actions, &attr, pointers(argv).data(), pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    close(err[1]);
    if (in[0] >= 0) close(in[0]);
    stdin_fd_ = in[1];
    if (rc != 0) {
        pid_ = -1;
        fail(rc, "start " + executable_);
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    reader_ = std::thread([this, o = out[0], e = err[0]] { read_output(o, e); });
}

// Until both streams end, or the process has ended and what it left is read.
void HubProcess::read_output(int out_fd, int err_fd) {
    fcntl(out_fd, F_SETFL, O_NONBLOCK);
    fcntl(err_fd, F_SETFL, O_NONBLOCK);
    bool out_open = true, err_open = true, ended = false;
    while ((out_open || err_open) && !ended) {
        pollfd fds[3] = {{pidfd_, POLLIN, 0}, {out_open ? out_fd : -1, POLLIN, 0}, {err_open ? err_fd : -1, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        ended = fds[0].revents != 0;
        out_open = out_open && drain(out_fd, stdout_);
        err_open = err_open && drain(err_fd, stderr_);
    }
    close(out_fd);
    close(err_fd);
    stdout_.close();
    stderr_.close();
}

bool HubProcess::write_stdin(const std::string &text) {
    for (size_t done = 0; stdin_fd_ >= 0 && done < text.size();) {
        ssize_t n = send(stdin_fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) return false;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return stdin_fd_ >= 0;
}

void HubProcess::close_stdin() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
}

bool HubProcess::running() { return pid_ >= 0 && !status_ && !wait_exit(Millis(0)); }

std::optional<int> HubProcess::wait_exit(Millis timeout) {
    if (pid_ < 0 || status_) return status_;
    pollfd entry{pidfd_, POLLIN, 0};
    int status;
    if (poll(&entry, 1, static_cast<int>(timeout.count())) > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = status;
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
    if (reader_.joinable()) reader_.join();
    close_stdin();
    return *status_;
}

Millis HubProcess::cpu_time() const {
    // Fields after the command name, which may hold anything but ends in the last ')'.
    std::string stat = read_text_file("/proc/" + std::to_string(pid_) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string skip;
    unsigned long long utime = 0, stime = 0;
    for (int field = 3; field < 14; ++field) fields >> skip;  // state .. cmajflt
    fields >> utime >> stime;
    return Millis((utime + stime) * 1000 / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

}  // namespace hubtest

#include "hub_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

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
}

void HubProcess::start(const std::string &config_text, const std::vector<std::string> &args) {
    write_file("hub.conf", config_text);
    int out[2] = {-1, -1}, err[2] = {-1, -1}, in[2] = {-1, -1};
    try {
        tools::open_pipe(out);
        tools::open_pipe(err);
        // A socket rather than a pipe: writing to a process that went away is an error, not SIGPIPE.
        if (stdin_pipe_ && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) fail(errno, "socketpair");
        tools::SpawnOptions options;
        // The hub's own variables through env, so that a wrapper runs without them.
        options.argv = wrapper_;
        if (!wrapper_.empty() && !env_.empty()) {
            options.argv.push_back("/usr/bin/env");
            for (const auto &[name, value] : env_) options.argv.push_back(name + "=" + value);
        }
        const std::vector<std::string> words = command(executable_, args);
        options.argv.insert(options.argv.end(), words.begin(), words.end());
        options.dir = dir();
        options.fds = {{STDOUT_FILENO, out[1]}, {STDERR_FILENO, err[1]}};
        if (stdin_pipe_) options.fds.push_back({STDIN_FILENO, in[0]});
        std::map<std::string, std::string> vars;
        for (const std::string &entry : tools::current_environment())
            if (size_t eq = entry.find('='); eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        vars["PATH"] = path("bin") + ":" + (vars.count("PATH") ? vars["PATH"] : "/usr/bin:/bin");
        if (wrapper_.empty())
            for (const auto &[name, value] : env_) vars[name] = value;
        for (const auto &[name, value] : vars) options.env.push_back(name + "=" + value);
        child_.start(options);
    } catch (...) {
        for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]})
            if (fd >= 0) close(fd);
        throw;
    }
    close(out[1]);
    close(err[1]);
    if (in[0] >= 0) close(in[0]);
    stdin_fd_ = in[1];
    reader_ = std::thread([this, o = out[0], e = err[0]] { read_output(o, e); });
}

// Until both streams end, or the process has ended and what it left is read.
void HubProcess::read_output(int out_fd, int err_fd) {
    fcntl(out_fd, F_SETFL, O_NONBLOCK);
    fcntl(err_fd, F_SETFL, O_NONBLOCK);
    bool out_open = true, err_open = true, ended = false;
    while ((out_open || err_open) && !ended) {
        pollfd fds[3] = {{child_.pidfd(), POLLIN, 0}, {out_open ? out_fd : -1, POLLIN, 0}, {err_open ? err_fd : -1, POLLIN, 0}};
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

int HubProcess::stop(Millis grace) {
    int status = child_.stop(grace);
    if (reader_.joinable()) reader_.join();
    close_stdin();
    return status;
}

Millis HubProcess::cpu_time() const {
    // Fields after the command name, which may hold anything but ends in the last ')'.
    std::string stat = read_text_file("/proc/" + std::to_string(pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string skip;
    unsigned long long utime = 0, stime = 0;
    for (int field = 3; field < 14; ++field) fields >> skip;  // state .. cmajflt
    fields >> utime >> stime;
    return Millis((utime + stime) * 1000 / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

int HubProcess::tcp_option(uint16_t peer_port, int option) const {
    const std::string fds = "/proc/" + std::to_string(pid()) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr) fail(errno, "opendir " + fds);
    int value = -1;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = static_cast<int>(syscall(SYS_pidfd_getfd, child_.pidfd(), std::atoi(entry->d_name), 0));
        if (fd < 0) continue;  // closed meanwhile
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        int got = 0;
        socklen_t len = sizeof got;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == peer_port && getsockopt(fd, IPPROTO_TCP, option, &got, &len) == 0)
            value = got;
        close(fd);
    }
    closedir(dir);
    return value;
}

}  // namespace hubtest

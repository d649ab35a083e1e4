#include "stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int open_stop_signal_fd(const char *program) {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    int fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (fd < 0) std::fprintf(stderr, "%s: signalfd: %s\n", program, std::strerror(errno));
    return fd;
}

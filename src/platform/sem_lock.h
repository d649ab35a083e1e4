// RAII hold of a POSIX semaphore used as a mutex (initial value 1).
#pragma once

#include <semaphore.h>

class SemLock {
public:
    explicit SemLock(sem_t &sem) : sem_(sem) { sem_wait_intr(sem_); }
    ~SemLock() { release(); }
    SemLock(const SemLock &) = delete;
    SemLock &operator=(const SemLock &) = delete;

    // Early release, for an operation that lets go before its last step.
    void release() {
        if (held_) {
            held_ = false;
            sem_post(&sem_);
        }
    }

    // sem_wait that a signal cannot cut short.
    static void sem_wait_intr(sem_t &sem) {
        while (sem_wait(&sem) != 0) {
        }
    }

private:
    sem_t &sem_;
    bool held_ = true;
};

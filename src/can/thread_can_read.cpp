#include "can/thread_can_read.h"

#include <poll.h>
#include <time.h>

#include <cstdio>

#include "can/can_rx_display.h"
#include "can/can_rx_qsd.h"
#include "can/can_trace.h"
#include "hub_cfg.h"
#include "platform/device.h"
#include "platform/sem_lock.h"
#include "platform/trace.h"
#include "sim/sim_thread_can_read.h"

sem_t CanRxSem;
std::atomic<int> CanRxThStatus{0};

namespace {

constexpr int POLL_TIMEOUT_MS = 10000;

// A device that reports an error or hang-up is retried once a second; the
// fault is said once on standard error, and again once it has recovered,
// unless the device says its faults itself (a CAN interface says "down",
// "bus-off" and "up and running" precisely; a vaguer line beside it misleads).
bool device_fault_reported = false;

void back_off_after_fault(int fd, short revents) {
    if (!device_fault_reported && !dev_says_its_faults(fd)) {
        fprintf(stderr, "hub: CAN device reports %s; retrying every second\n",
                (revents & POLLHUP) ? "a hang-up" : "an error");
        device_fault_reported = true;
    }
    timespec second{1, 0};
    while (nanosleep(&second, &second) != 0) {
    }
    (void)dev_recover(fd);
}

bool traced(uint32_t id) { return id != ID_HUB_TO_DISPLAY && id != ID_DISPLAY_PDM_REQUEST && id != ID_CPU_PDM_REQUEST; }

}  // namespace

void can_rx_init() {
    sem_init(&CanRxSem, 0, 1);
    CanRxThStatus = 1;
}

void canReciveMessage(CanFrame frame) {
    switch (can_node(frame.id)) {
    case NODE_DISPLAY:
        if (Hub_Config.display) canRxDisplay(frame);
        break;
    case NODE_CPU:
        canRxQsd(frame);
        break;
    default:
        break;
    }
}

int can_rx_pass(int fd, int timeout_ms) {
    pollfd entry{fd, POLLIN, 0};
    (void)dev_poll(&entry, timeout_ms);
    if (entry.revents != POLLIN) {
        if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) back_off_after_fault(fd, entry.revents);
        return 0;
    }
    if (device_fault_reported) {
        fprintf(stderr, "hub: CAN device is back\n");
        device_fault_reported = false;
    }
    int dispatched = 0;
    for (;;) {
        CanFrame frame{};
        ssize_t n = dev_read(fd, &frame, sizeof frame);
        if (n == 0) break;  // nothing more waiting
        // Only a whole record is a frame. A failed or short read ends the
        // burst and is taken as a device fault, so a device that keeps
        // failing is not polled in a tight loop.
        if (n != static_cast<ssize_t>(sizeof frame)) {
            back_off_after_fault(fd, POLLERR);
            break;
        }
        if (traced(frame.id)) can_trace_read(frame);
        canReciveMessage(frame);
        ++dispatched;
    }
    return dispatched;
}

void *can_rx_thread(void *arg) {
    int *fid = static_cast<int *>(arg);
    trace("Thread \"can_rx_thread\" fid = %d\n", *fid);
    if (Hub_Config.simulator) sim_can_rx_thread();
    for (;;) {
        can_rx_pass(*fid, POLL_TIMEOUT_MS);
        SemLock lock(CanRxSem);
        if (CanRxThStatus == 2) break;
    }
    return nullptr;
}

// The hub: start-up in a fixed order, then the CPU node state machine for the
// rest of the process's life. It takes no arguments and reads no environment;
// everything comes from the configuration file.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "can/thread_can_read.h"
#include "can/thread_can_write.h"
#include "gpio/thread_gpio.h"
#include "hub_caps.h"
#include "hub_cfg.h"
#include "pc/hub_to_pc.h"
#include "pc/thread_tcp_server.h"
#include "platform/device.h"
#include "platform/trace.h"
#include "sm/cpu_sm.h"
#include "sm/pc_sm.h"

namespace {

// Owned by the main thread for the life of the process; the worker threads
// keep their addresses.
int CanFid = -1;
int GpioFid = -1;

void sleep_one_second() {
    timespec second{1, 0};
    while (nanosleep(&second, &second) != 0) {
    }
}

// Says why a device cannot be opened: at the first try (`say_why`), and again
// whenever the reason changes while the open is retried (a node that is
// missing, then refused by a device policy), never twice in a row.
int open_device(const char *path, DeviceKind kind, const char *what, bool say_why) {
    static int said_errno[2] = {0, 0};
    int &said = said_errno[kind == DeviceKind::Can ? 0 : 1];
    int fd = dev_open(path, kind);
    if (fd >= 0) {
        said = 0;
        return fd;
    }
    int e = errno;
    if (!say_why && e == said) return fd;
    said = e;
    if (path == nullptr)
        fprintf(stderr, "hub: cannot open the %s device (no path configured): set it in the configuration file\n", what);
    else if (kind == DeviceKind::Can && e == ENOENT && dev_may_name_interface(path))
        fprintf(stderr, "hub: %s: no such interface (see `ip link`) or file; waiting for either\n", path);
    else
        fprintf(stderr, "hub: cannot open the %s device %s: %s\n", what, path, strerror(e));
    errno = e;
    return fd;
}

// Waits for the CAN controller, once a second. While a device is missing
// the open is retried each second, so the hub comes up when it appears (for
// a CAN name that is neither an interface nor a file yet, whichever of the
// two appears first), and says what it found.
void wait_for_can_controller() {
    int status = 1;
    while (status != 0) {
        sleep_one_second();
        if (CanFid < 0 && (CanFid = open_device(Hub_Config.canDevice, DeviceKind::Can, "CAN", false)) >= 0) {
            // A name that may be either says which it turned out to be.
            const bool either = dev_may_name_interface(Hub_Config.canDevice);
            fprintf(stderr, "hub: CAN device %s is there now (fid %d)%s%s\n", Hub_Config.canDevice, CanFid,
                    either ? ": " : "", either ? dev_describe(CanFid) : "");
        }
        if (GpioFid < 0 && (GpioFid = open_device(Hub_Config.gpioDevice, DeviceKind::Gpio, "GPIO", false)) >= 0)
            fprintf(stderr, "hub: GPIO device %s is there now (fid %d)\n", Hub_Config.gpioDevice, GpioFid);
        // A controller that hung up is connected again for the next query.
        if (dev_ioctl(CanFid, CAN_STATUS_REQUEST, &status) == -1 && (errno == ECONNRESET || errno == EPIPE))
            (void)dev_recover(CanFid);
        trace("Init SJA1000 = %d\n", status);
    }
}

// A thread that cannot be created (a system-call filter that refuses what
// the C library tries, say) is said; the hub goes on without it.
void start_thread(const char *name, void *(*entry)(void *), void *arg) {
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, entry, arg);
    if (error != 0) fprintf(stderr, "hub: cannot start thread %s: %s\n", name, strerror(error));
}

}  // namespace

int main() {
    // Before any thread, so that every thread runs without the capability.
    (void)hub_drop_net_admin();
    trace_open();
    hub_read_configuration();

    CanFid = open_device(Hub_Config.canDevice, DeviceKind::Can, "CAN", true);
    trace("Can fid = %d\n", CanFid);
    GpioFid = open_device(Hub_Config.gpioDevice, DeviceKind::Gpio, "GPIO", true);
    trace("gpio fid = %d\n", GpioFid);

    wait_for_can_controller();

    cpu_sm_init();
    pc_sm_init();

    sem_init(&TcpSem, 0, 1);
    can_tx_init();
    can_rx_init();
    gpio_init();
    // The TCP server may drive the sensor-ready line as soon as a PC reports.
    gpio_attach(&GpioFid);
    // The model name and Word8 = 6 are in the PC record before any thread
    // runs, so a test selection that the CAN reader handles first is never
    // overwritten by them.
    tcp_server_prepare_record();

    start_thread("tcp_server_thread", tcp_server_thread, nullptr);
    start_thread("can_tx_thread", can_tx_thread, &CanFid);
    start_thread("can_rx_thread", can_rx_thread, &CanFid);
    start_thread("gpio_thread", gpio_thread, &GpioFid);

    // Each pass makes at most one transition. Between passes the thread
    // sleeps until the CAN reader stores a state command, so a command still
    // takes effect at once and an idle hub uses no processor.
    for (;;) {
        uint32_t seen = cpu_sm_command_seq();
        int moved = cpu_sm();
        pc_sm();
        if (!moved) cpu_sm_wait_command(seen);
    }
}

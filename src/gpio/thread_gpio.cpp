#include "gpio/thread_gpio.h"

#include <time.h>

#include <cerrno>

#include <mutex>

#include "platform/device.h"
#include "platform/sem_lock.h"
#include "platform/trace.h"

sem_t GpioSem;
std::atomic<int> GpioThStatus{0};

namespace {

std::atomic<int *> FidGpio{nullptr};

// Requests from the GPIO thread and the TCP server's sensor-ready changes are
// serialised, so a set or reset of the line can never fall between
// sensorPower's read and write of the output record and be undone.
std::mutex GpioDeviceLock;

int temperature_read = 0;
constexpr int TEMPERATURE_EVERY = 10;  // the eleventh call reads

// One request; the caller holds GpioDeviceLock. A device socket that hung up
// is connected again and the request made once more on the new connection
// (every GPIO request may be repeated: reads, the write of the record just
// read, and setting or resetting bits). A character device never reports a
// hang-up, so on the board this is the plain ioctl.
int gpio_request(int fd, unsigned long request, void *arg) {
    int result = dev_ioctl(fd, request, arg);
    if (result == -1 && (errno == ECONNRESET || errno == EPIPE) && dev_recover(fd) == 0)
        result = dev_ioctl(fd, request, arg);
    return result;
}

}  // namespace

void gpio_init() {
    sem_init(&GpioSem, 0, 1);
    GpioThStatus = 1;
}

void gpio_attach(int *fid) { FidGpio.store(fid); }

void readTemperature(int *fid) {
    if (temperature_read != TEMPERATURE_EVERY) {
        ++temperature_read;
        return;
    }
    uint8_t raw = 0;
    int result;
    {
        std::lock_guard<std::mutex> guard(GpioDeviceLock);
        result = gpio_request(*fid, GPIO_READ_TEMPERATURE, &raw);
    }
    if (result != 0) {
        trace_line("TEMPERATURE: ioctl Error");
    } else if (raw % 2) {
        trace("TEMPERATURE: %d,5\n", raw / 2);
    } else {
        trace("TEMPERATURE: %d\n", raw / 2);
    }
    temperature_read = 0;
}

void sensorPower(int *fid, int state) {
    std::lock_guard<std::mutex> guard(GpioDeviceLock);
    GpioOutput out{};
    // A failed read leaves nothing worth writing back: the pass is skipped.
    if (gpio_request(*fid, GPIO_READ_WORD, &out) < 0) return;
    const uint32_t want = state == 0 ? SENSOR_POWER_OFF_BIT : SENSOR_POWER_ON_BIT;
    const uint32_t other = state == 0 ? SENSOR_POWER_ON_BIT : SENSOR_POWER_OFF_BIT;
    if (!(out.bits & want)) {
        out.bits = (out.bits | want) & ~other;
    } else if (out.bits & other) {
        out.bits &= ~other;
    } else {
        return;  // already the wanted pattern
    }
    (void)gpio_request(*fid, GPIO_WRITE_WORD, &out);
}

int sensorReadyPanIo(int level) {
    uint32_t mask = SENSOR_READY_MASK;
    trace_line(level == 1 ? "sensorReadyPanIo SET" : "sensorReadyPanIo RESET");
    int *fid = FidGpio.load();
    if (fid == nullptr) return -1;
    std::lock_guard<std::mutex> guard(GpioDeviceLock);
    return gpio_request(*fid, level == 1 ? GPIO_SET_BITS : GPIO_RESET_BITS, &mask);
}

void gpio_pass(int *fid) {
    readTemperature(fid);
    sensorPower(fid, 0);
}

void *gpio_thread(void *arg) {
    int *fid = static_cast<int *>(arg);
    FidGpio.store(fid);
    trace("Thread \"gpio_thread\" fid = %d\n", *fid);
    sensorReadyPanIo(1);
    for (;;) {
        gpio_pass(fid);
        {
            SemLock lock(GpioSem);
            if (GpioThStatus == 2) break;
        }
        timespec second{1, 0};
        while (nanosleep(&second, &second) != 0) {
        }
    }
    return nullptr;
}

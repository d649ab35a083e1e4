// The GPIO thread: sensor power held off, the temperature every eleventh pass,
// and the sensor-ready line.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "platform/device_requests.h"


constexpr uint32_t SENSOR_READY_MASK = 0x40;
constexpr uint32_t SENSOR_POWER_OFF_BIT = 1u << 31;  // set when powered off
constexpr uint32_t SENSOR_POWER_ON_BIT = 1u << 30;   // set when powered on

// The output record of GPIO_READ_WORD / GPIO_WRITE_WORD.
struct GpioOutput {
    uint32_t word0;  // the device's; written back as read
    uint32_t bits;   // the output bits
};
static_assert(sizeof(GpioOutput) == 8);

extern sem_t GpioSem;
extern std::atomic<int> GpioThStatus;  // 1 run, 2 stop request

void gpio_init();

// Records the GPIO descriptor; start-up calls it before any thread exists so
// the TCP server can drive the sensor-ready line from its first PC.
void gpio_attach(int *fid);

void *gpio_thread(void *arg);
void readTemperature(int *fid);
void sensorPower(int *fid, int state);
int sensorReadyPanIo(int level);

// One pass of the loop without its sleep: temperature, then power.
void gpio_pass(int *fid);

#include "devsim/gpio_device.h"

namespace devsim {

GpioDevice::GpioDevice(std::string path, DeviceObserver observer)
    : DeviceServer(std::move(path), std::move(observer)) {
    start();
}

GpioDevice::~GpioDevice() { stop(); }

void GpioDevice::set_temperature(uint8_t raw) {
    std::lock_guard lock(state_mutex());
    temperature_ = raw;
}

uint8_t GpioDevice::temperature() const {
    std::lock_guard lock(state_mutex());
    return temperature_;
}

void GpioDevice::set_output_record(uint32_t word0, uint32_t bits) {
    std::lock_guard lock(state_mutex());
    word0_ = word0;
    bits_ = bits;
    notify_changed();
}

uint32_t GpioDevice::word0() const {
    std::lock_guard lock(state_mutex());
    return word0_;
}

uint32_t GpioDevice::bits() const {
    std::lock_guard lock(state_mutex());
    return bits_;
}

bool GpioDevice::wait_for_bits(const std::function<bool(uint32_t)> &match, Millis timeout) {
    return wait_until(timeout, [&] { return match(bits_); });
}

ResultPacket GpioDevice::answer(uint32_t request, const Bytes &arg) {
    // Each request has one argument size; anything else is refused, as a
    // driver refuses a request it does not know.
    switch (request) {
    case GPIO_READ_WORD:
        if (arg.size() != 8) break;
        return {0, u32_arg({word0_, bits_})};
    case GPIO_WRITE_WORD:
        if (arg.size() != 8) break;
        bits_ = arg_u32(arg, 4);
        notify_changed();
        return {0, arg};
    case GPIO_READ_TEMPERATURE:
        if (arg.size() != 1) break;
        return {0, Bytes{temperature_}};
    case GPIO_SET_BITS:
        if (arg.size() != 4) break;
        bits_ |= arg_u32(arg, 0);
        notify_changed();
        return {0, arg};
    case GPIO_RESET_BITS:
        if (arg.size() != 4) break;
        bits_ &= ~arg_u32(arg, 0);
        notify_changed();
        return {0, arg};
    default:
        break;
    }
    return {-1, arg};
}

}  // namespace devsim

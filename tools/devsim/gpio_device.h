// The simulated GPIO device: the output record (two u32 words, the second
// being the output bits) and the temperature byte, driven by the hub's
// requests. Recording, failing and delaying requests are common to every
// simulated device (see DeviceServer).
#pragma once

#include <functional>
#include <string>

#include "devsim/device_server.h"

namespace devsim {

class GpioDevice final : public DeviceServer {
public:
    // Listens at `path` at once; throws std::system_error when it cannot.
    explicit GpioDevice(std::string path, DeviceObserver observer = {});
    ~GpioDevice() override;

    void set_temperature(uint8_t raw);
    uint8_t temperature() const;

    void set_output_record(uint32_t word0, uint32_t bits);
    uint32_t word0() const;
    uint32_t bits() const;
    // Waits until the output bits satisfy `match`.
    bool wait_for_bits(const std::function<bool(uint32_t)> &match, Millis timeout);

protected:
    ResultPacket answer(uint32_t request, const Bytes &arg) override;

private:
    uint32_t word0_ = 0;
    uint32_t bits_ = 0;
    uint8_t temperature_ = 0;
};

}  // namespace devsim

#include "devsim/can_device.h"

namespace devsim {

CanDevice::CanDevice(std::string path, DeviceObserver observer) : DeviceServer(std::move(path), std::move(observer)) {
    start();
}

CanDevice::~CanDevice() { stop(); }

void CanDevice::set_not_ready(int count) {
    std::lock_guard lock(state_mutex());
    not_ready_ = count;
}

ResultPacket CanDevice::answer(uint32_t request, const Bytes &arg) {
    // A controller driver refuses requests it does not know, and so does this one.
    if (request != CAN_STATUS_REQUEST || arg.size() != sizeof(int32_t)) return {-1, arg};
    int32_t status = CAN_STATUS_READY;
    if (not_ready_ != 0) {
        status = CAN_STATUS_NOT_READY;
        if (not_ready_ > 0) --not_ready_;
    }
    Bytes out = arg;
    set_arg_u32(out, 0, static_cast<uint32_t>(status));
    return {0, out};
}

}  // namespace devsim

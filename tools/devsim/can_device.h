// The simulated CAN controller: answers the status request, records the
// frames the hub writes and delivers the frames a test injects (all of that
// but the status request is common to every simulated device, see
// DeviceServer).
#pragma once

#include <string>

#include "devsim/device_server.h"

namespace devsim {

using ::CAN_STATUS_NOT_READY;
using ::CAN_STATUS_READY;
using ::CAN_STATUS_REQUEST;

class CanDevice final : public DeviceServer {
public:
    // Listens at `path` at once; throws std::system_error when it cannot.
    explicit CanDevice(std::string path, DeviceObserver observer = {});
    ~CanDevice() override;

    // The next `count` status requests report "not ready" (1), those after
    // them "ready" (0). A negative count: never ready. Default 0.
    void set_not_ready(int count);

    size_t status_queries() const { return request_count(CAN_STATUS_REQUEST); }
    bool wait_for_status_queries(size_t count, Millis timeout) {
        return wait_for_requests(CAN_STATUS_REQUEST, count, timeout);
    }

protected:
    ResultPacket answer(uint32_t request, const Bytes &arg) override;

private:
    int not_ready_ = 0;
};

}  // namespace devsim

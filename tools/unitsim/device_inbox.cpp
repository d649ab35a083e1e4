#include "device_inbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace unitsim {

DeviceInbox::DeviceInbox() {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

DeviceInbox::~DeviceInbox() { close(fd_); }

devsim::DeviceObserver DeviceInbox::observer(Device device) {
    return [this, device](const devsim::DeviceEvent &event) {
        DeviceNews news{device, event, {}};
        clock_gettime(CLOCK_REALTIME, &news.at);
        push(std::move(news));
    };
}

void DeviceInbox::push(DeviceNews news) {
    {
        std::lock_guard lock(mutex_);
        news_.push_back(std::move(news));
    }
    uint64_t one = 1;
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;  // a counter that is already set still wakes the loop
}

std::vector<DeviceNews> DeviceInbox::take() {
    uint64_t count;
    ssize_t n = read(fd_, &count, sizeof count);
    (void)n;  // nothing to read is fine: the queue says what is there
    std::lock_guard lock(mutex_);
    std::vector<DeviceNews> all(std::make_move_iterator(news_.begin()), std::make_move_iterator(news_.end()));
    news_.clear();
    return all;
}

}  // namespace unitsim

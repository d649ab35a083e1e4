// SocketCAN interfaces behind the device calls, through a raw CAN socket
// (can_raw_socket.h):
//   read    one standard data frame as the 16-byte record; 0 when none waits.
//           Error frames are taken here: each change of the controller's
//           state is said once and none is dispatched.
//   write   one frame, waiting while the tx queue is full or the interface
//           is not running, until the writer's deadline
//   status  0 while the interface is up and running, 1 otherwise
// The interface's state is looked at by the status query, after a poll that
// reports an error, and at least once a second by the reader's poll; each
// change is said once on standard error (and in the system log). An
// interface that disappears and comes back under a new ifindex is bound
// again on the same descriptor number, as a device socket is reconnected,
// so the threads that hold the descriptor's address carry on.
#include <fcntl.h>
#include <net/if_arp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/can_raw_codec.h"
#include "platform/can_raw_socket.h"
#include "platform/device_backend.h"
#include "platform/trace.h"

namespace {

constexpr int LOOK_AGAIN_MS = 1000;  // the reader looks at the interface at least this often
constexpr int DOWN_RETRY_MS = 100;   // a writer held by a down interface tries again this often

enum LinkState : int { LINK_UNKNOWN, LINK_NO_SUCH, LINK_NOT_CAN, LINK_DOWN, LINK_NOT_RUNNING, LINK_RUNNING };
enum ControllerState : int { CTRL_ACTIVE, CTRL_WARNING, CTRL_PASSIVE, CTRL_BUS_OFF };

// The interface as the kernel has it now, and its index (0 when absent).
LinkState probe_link(const DeviceSlot &slot, int fd, int *ifindex) {
    ifreq req{};
    memcpy(req.ifr_name, slot.name, sizeof req.ifr_name - 1);
    *ifindex = ioctl(fd, SIOCGIFINDEX, &req) == 0 ? req.ifr_ifindex : 0;
    if (*ifindex == 0) return LINK_NO_SUCH;
    if (ioctl(fd, SIOCGIFHWADDR, &req) != 0 || req.ifr_hwaddr.sa_family != ARPHRD_CAN) return LINK_NOT_CAN;
    if (ioctl(fd, SIOCGIFFLAGS, &req) != 0 || !(req.ifr_flags & IFF_UP)) return LINK_DOWN;
    return (req.ifr_flags & IFF_RUNNING) ? LINK_RUNNING : LINK_NOT_RUNNING;
}

void say_link(const char *name, LinkState state) {
    switch (state) {
    case LINK_NO_SUCH: notice("%s: no such interface (see `ip link`); waiting for it", name); break;
    case LINK_NOT_CAN: notice("%s: not a CAN interface", name); break;
    case LINK_DOWN:
        notice("%s: down; bring it up with: ip link set %s up type can bitrate 1000000 restart-ms 100", name, name);
        break;
    case LINK_NOT_RUNNING: notice("%s: up but not running (bus-off?)", name); break;
    case LINK_RUNNING: notice("%s: up and running", name); break;
    case LINK_UNKNOWN: break;
    }
}

// Binds `fd` to the interface's present ifindex unless it already is: a
// fresh socket, put on the same descriptor number. The caller holds the lock.
void bind_current(DeviceSlot &slot, int fd, int ifindex) {
    if (can_raw_bound_ifindex(fd) == ifindex) return;
    int s = can_raw_open(true);
    if (s < 0) return;
    if (can_raw_bind(s, ifindex) != 0) {
        close(s);
        return;
    }
    // Binding to an interface that is down leaves a "network down" error on
    // the socket; the link state says that, so the error is taken here
    // rather than sending the reader into its fault back-off.
    int error = 0;
    socklen_t len = sizeof error;
    (void)getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len);
    dup3(s, fd, O_CLOEXEC);
    close(s);
    if (slot.can.last_ifindex != 0 && slot.can.last_ifindex != ifindex)
        notice("%s: bound again (ifindex %d, was %d)", slot.name, ifindex, slot.can.last_ifindex);
    slot.can.last_ifindex = ifindex;
}

// Looks at the interface, binds it when it is a CAN interface, and says a
// changed state once. A state that is not the first one said ("up and
// running" at start is not news). Returns the state.
LinkState refresh(DeviceSlot &slot, int fd) {
    std::lock_guard<std::mutex> guard(slot.lock);
    int ifindex;
    LinkState now = probe_link(slot, fd, &ifindex);
    if (now != LINK_NO_SUCH && now != LINK_NOT_CAN) bind_current(slot, fd, ifindex);
    LinkState before = static_cast<LinkState>(slot.can.link.exchange(now));
    if (now != before && !(before == LINK_UNKNOWN && now == LINK_RUNNING)) say_link(slot.name, now);
    if (now == LINK_RUNNING && before != LINK_RUNNING) slot.can.controller = CTRL_ACTIVE;  // restarted
    slot.can.last_look_ms = monotonic_ms();
    return now;
}

void set_controller(DeviceSlot &slot, ControllerState state, const char *text) {
    if (slot.can.controller.exchange(state) != state) notice("%s: %s", slot.name, text);
}

// The error frame's events, said in words an operator acts on.
void take_error_frame(DeviceSlot &slot, int fd, unsigned events) {
    CanInterfaceState &c = slot.can;
    if (events & CAN_EVENT_BUS_OFF) {
        set_controller(slot, CTRL_BUS_OFF, "bus-off (no node acknowledges? check the cable, termination and bitrate)");
        (void)refresh(slot, fd);  // the carrier goes off with it
    }
    if (events & CAN_EVENT_ERROR_PASSIVE) set_controller(slot, CTRL_PASSIVE, "error-passive");
    if (events & CAN_EVENT_ERROR_WARNING) set_controller(slot, CTRL_WARNING, "error-warning");
    if (events & (CAN_EVENT_ERROR_ACTIVE | CAN_EVENT_RESTARTED)) {
        if (events & CAN_EVENT_RESTARTED) {
            c.controller = CTRL_ACTIVE;
            notice("%s: restarted, sending again", slot.name);
        } else {
            set_controller(slot, CTRL_ACTIVE, "error-active again");
        }
        c.no_ack_said = c.overrun_said = false;
    }
    if ((events & CAN_EVENT_NO_ACK) && !c.no_ack_said) {
        c.no_ack_said = true;
        notice("%s: no node acknowledges (is the CPU node powered and on this bus?)", slot.name);
    }
    if ((events & CAN_EVENT_OVERRUN) && !c.overrun_said) {
        c.overrun_said = true;
        notice("%s: controller overrun, frames lost in the controller", slot.name);
    }
}

int socketcan_open(DeviceSlot &slot) {
    slot.can.link = LINK_UNKNOWN;
    slot.can.controller = CTRL_ACTIVE;
    slot.can.last_ifindex = 0;
    slot.can.kernel_drops = 0;
    slot.can.no_ack_said = slot.can.overrun_said = slot.can.strange_said = slot.can.tx_full_said = false;
    int s = can_raw_open(true);
    if (s < 0) return -1;
    // Bound now when it is a CAN interface; otherwise the status query says why.
    int ifindex;
    LinkState state = probe_link(slot, s, &ifindex);
    if (state != LINK_NO_SUCH && state != LINK_NOT_CAN && can_raw_bind(s, ifindex) == 0) slot.can.last_ifindex = ifindex;
    return s;
}

ssize_t socketcan_read(DeviceSlot &slot, int fd, void *buf, size_t len) {
    CanInterfaceState &c = slot.can;
    for (;;) {
        can_frame raw;
        uint32_t drops = c.kernel_drops;
        ssize_t n = can_raw_receive(fd, &raw, &drops);
        if (n <= 0) return n;
        if (drops != c.kernel_drops) {
            notice("%s: %u received frames dropped by the kernel (receive queue full)", slot.name,
                   static_cast<unsigned>(drops - c.kernel_drops));
            c.kernel_drops = drops;
        }
        CanFrame frame;
        if (n == static_cast<ssize_t>(sizeof raw) && can_frame_from_raw(raw, &frame) == 0) {
            c.no_ack_said = false;  // a node is on the bus
            size_t n_out = len < DEVICE_FRAME_SIZE ? len : DEVICE_FRAME_SIZE;
            memcpy(buf, &frame, n_out);
            return static_cast<ssize_t>(n_out);
        }
        if (unsigned events = can_error_events(raw); n == static_cast<ssize_t>(sizeof raw) && events != 0) {
            take_error_frame(slot, fd, events);
        } else if (!(raw.can_id & CAN_ERR_FLAG) && !c.strange_said) {
            // The kernel filter drops these; one that got through anyway is
            // named once and never dispatched.
            c.strange_said = true;
            notice("%s: a frame that is not a standard data frame was not dispatched", slot.name);
        }
    }
}

// Frames are held while the interface is not running: the kernel would keep
// them in its queue and send them, stale, once the bus is back.
ssize_t socketcan_write(DeviceSlot &slot, int fd, const void *buf, size_t len, int64_t deadline_ms) {
    if (len != DEVICE_FRAME_SIZE) {
        errno = EINVAL;
        return -1;
    }
    CanFrame frame;
    memcpy(&frame, buf, sizeof frame);
    can_frame raw;
    can_frame_to_raw(frame, &raw);
    for (;;) {
        if (slot.can.link == LINK_RUNNING || refresh(slot, fd) == LINK_RUNNING) {
            if (can_raw_send(fd, raw, deadline_ms) == 0) {
                slot.can.tx_full_said = false;
                return static_cast<ssize_t>(DEVICE_FRAME_SIZE);
            }
            if (errno == ENOBUFS || errno == EAGAIN) {
                if (!slot.can.tx_full_said) notice("%s: tx queue full for 1 s", slot.name);
                slot.can.tx_full_said = true;
                errno = ETIMEDOUT;
                return -1;
            }
            if (errno != ENETDOWN && errno != ENXIO && errno != ENODEV) return -1;
            (void)refresh(slot, fd);  // down or gone: said there
        }
        int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        wait_ms(left < DOWN_RETRY_MS ? static_cast<int>(left) : DOWN_RETRY_MS);
    }
}

int socketcan_poll(DeviceSlot &slot, struct pollfd *entry, int timeout_ms) {
    if (timeout_ms < 0 || timeout_ms > LOOK_AGAIN_MS) timeout_ms = LOOK_AGAIN_MS;
    int n = poll(entry, 1, timeout_ms);
    // Bus-off turns the carrier off without an error on the socket: looked
    // at once a second, whether frames flow or not.
    if (monotonic_ms() - slot.can.last_look_ms >= LOOK_AGAIN_MS) (void)refresh(slot, entry->fd);
    return n;
}

int socketcan_ioctl(DeviceSlot &slot, int fd, unsigned long request, void *arg) {
    if (request != CAN_STATUS_REQUEST) {
        errno = EINVAL;
        return -1;
    }
    int32_t status = refresh(slot, fd) == LINK_RUNNING ? CAN_STATUS_READY : CAN_STATUS_NOT_READY;
    memcpy(arg, &status, sizeof status);
    return 0;
}

int socketcan_recover(DeviceSlot &slot, int fd) {
    // The kernel's "down" or "gone" report is taken here, once.
    int error = 0;
    socklen_t len = sizeof error;
    (void)getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    return refresh(slot, fd) == LINK_RUNNING ? 0 : -1;
}

int socketcan_close(DeviceSlot &, int fd) { return close(fd); }

}  // namespace

const DeviceOps socketcan_ops{socketcan_open,  socketcan_read,    socketcan_write, socketcan_poll,
                              socketcan_ioctl, socketcan_recover, socketcan_close};

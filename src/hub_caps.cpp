// The unit gives the hub CAP_NET_ADMIN as an ambient capability, so that the
// command interpreter and ifconfig receive it; the kernel makes an ambient
// capability effective in the hub as well. Here the hub takes it out of its
// own effective set and keeps it permitted, inheritable and ambient: a bug
// that makes the hub issue a network request of its own (the PC link has no
// authentication) finds no privilege behind it, while every child still
// gets it. Other capabilities (CAP_NET_BIND_SERVICE for a port below 1024)
// are left as they are.
#include "hub_caps.h"

#include <sys/capability.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool has(cap_t caps, cap_flag_t set) {
    cap_flag_value_t value = CAP_CLEAR;
    return cap_get_flag(caps, CAP_NET_ADMIN, set, &value) == 0 && value == CAP_SET;
}

int say(const char *what) {
    fprintf(stderr, "hub: cannot %s CAP_NET_ADMIN: %s\n", what, strerror(errno));
    return -1;
}

}  // namespace

int hub_drop_net_admin() {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return say("read");
    const cap_value_t net_admin[] = {CAP_NET_ADMIN};
    int status = 0;
    if (has(caps, CAP_EFFECTIVE)) {
        // A capability that is permitted but not ambient (file capabilities on
        // the hub, say) is made ambient first, or ifconfig would lose it.
        if (has(caps, CAP_PERMITTED) && cap_get_ambient(CAP_NET_ADMIN) != 1) {
            if (cap_set_flag(caps, CAP_INHERITABLE, 1, net_admin, CAP_SET) != 0 || cap_set_proc(caps) != 0 ||
                cap_set_ambient(CAP_NET_ADMIN, CAP_SET) != 0)
                status = say("hand on");
        }
        if (cap_set_flag(caps, CAP_EFFECTIVE, 1, net_admin, CAP_CLEAR) != 0 || cap_set_proc(caps) != 0)
            status = say("drop");
    }
    cap_free(caps);
    return status;
}

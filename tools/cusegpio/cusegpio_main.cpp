// hub-cusegpio: serves a GPIO device socket (hub-devsim --gpio, hub-unitsim
// --gpio) as the character device /dev/NAME through CUSE. Each ioctl on the
// node is handed to the device socket through the hub's own device layer
// and its answer copied back, so a hub configured with the node drives the
// simulator's GPIO model with real system calls. Needs /dev/cuse (module
// cuse) and root. Runs in the foreground until SIGINT or SIGTERM.
#define FUSE_USE_VERSION 31
#include <cuse_lowlevel.h>
#include <getopt.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/device.h"

namespace {

const char USAGE[] =
    "usage: hub-cusegpio --socket PATH [--name NAME]\n"
    "  --socket PATH  device socket of the GPIO device to serve\n"
    "  --name NAME    the node's name under /dev (default gpio)\n";

int Device = -1;
std::string Name = "gpio";

// The GPIO requests and the size of the object each one's argument points
// to (docs/device-sockets.md); the node refuses any other request.
long argument_size(int request) {
    switch (request) {
    case 0: case 1: return 8;  // output record: read, write
    case 3: return 1;          // temperature byte
    case 7: case 8: return 4;  // mask of output bits: set, reset
    default: return -1;
    }
}

void on_open(fuse_req_t req, fuse_file_info *fi) {
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

// Unrestricted ioctls: the request numbers carry no size, so the first call
// asks the kernel for the argument both ways, the second one serves it.
void on_ioctl(fuse_req_t req, int cmd, void *arg, fuse_file_info *, unsigned, const void *in_buf, size_t in_size,
              size_t out_size) {
    long size = argument_size(cmd);
    if (size < 0) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if (in_size < static_cast<size_t>(size) || out_size < static_cast<size_t>(size)) {
        iovec io{arg, static_cast<size_t>(size)};
        fuse_reply_ioctl_retry(req, &io, 1, &io, 1);
        return;
    }
    uint8_t object[8];
    memcpy(object, in_buf, static_cast<size_t>(size));
    int result = dev_ioctl(Device, static_cast<unsigned long>(cmd), object);
    if (result == -1 && (errno == ECONNRESET || errno == EPIPE)) {
        (void)dev_recover(Device);  // the next request finds it connected again
        errno = EIO;
    }
    if (result == -1) fuse_reply_err(req, errno);
    else fuse_reply_ioctl(req, result, object, static_cast<size_t>(size));
}

void on_init_done(void *) {
    printf("gpio node /dev/%s ready\n", Name.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    static const option longs[] = {{"socket", required_argument, nullptr, 's'},
                                   {"name", required_argument, nullptr, 'n'},
                                   {nullptr, 0, nullptr, 0}};
    std::string socket_path;
    for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
        if (c == 's') socket_path = optarg;
        else if (c == 'n') Name = optarg;
        else return fputs(USAGE, stderr), 2;
    }
    if (socket_path.empty() || optind != argc || Name.empty() || Name.find('/') != std::string::npos)
        return fputs(USAGE, stderr), 2;

    Device = dev_open(socket_path.c_str(), DeviceKind::Gpio);
    if (Device < 0) {
        fprintf(stderr, "hub-cusegpio: %s: %s\n", socket_path.c_str(), strerror(errno));
        return 1;
    }
    std::string devname = "DEVNAME=" + Name;
    const char *dev_info[] = {devname.c_str()};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = dev_info;
    info.flags = CUSE_UNRESTRICTED_IOCTL;
    cuse_lowlevel_ops ops{};
    ops.init_done = on_init_done;
    ops.open = on_open;
    ops.ioctl = on_ioctl;
    // Foreground, one request at a time: the device socket takes one
    // request at a time anyway.
    char arg0[] = "hub-cusegpio", foreground[] = "-f", single[] = "-s";
    char *fuse_argv[] = {arg0, foreground, single, nullptr};
    return cuse_lowlevel_main(3, fuse_argv, &info, &ops, nullptr);
}

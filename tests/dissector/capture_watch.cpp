#include "capture_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <system_error>

#include "temp_dir.h"

namespace hubdissector {
namespace {

using Clock = std::chrono::steady_clock;

// True once `ready(contents of path)` holds; the directory is watched before
// the first look, so a write between a look and the wait still wakes it.
bool wait_file(const std::string &path, const std::function<bool(const std::string &)> &ready,
               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    if (dir.empty()) dir = ".";
    if (inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
        int err = errno;
        close(fd);
        throw std::system_error(err, std::generic_category(), "inotify_add_watch " + dir);
    }
    bool done = false;
    for (;;) {
        if (ready(hubtest::read_text_file(path))) {
            done = true;
            break;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) > 0) {
            char events[4096];
            while (read(fd, events, sizeof events) > 0) {
            }
        }
    }
    close(fd);
    return done;
}

}  // namespace

bool wait_capture_started(const std::string &path, std::chrono::milliseconds timeout) {
    return wait_file(path, [](const std::string &text) { return !text.empty(); }, timeout);
}

bool wait_capture_holds(const std::string &path, const std::string &bytes, std::chrono::milliseconds timeout) {
    return wait_file(path, [&bytes](const std::string &text) { return text.find(bytes) != std::string::npos; },
                     timeout);
}

}  // namespace hubdissector

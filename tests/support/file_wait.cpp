#include "file_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "temp_dir.h"

namespace hubtest {

std::vector<std::string> read_lines(const std::string &path) {
    std::string text = read_text_file(path);
    std::vector<std::string> lines;
    size_t start = 0, newline;
    while ((newline = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

bool wait_file(const std::string &path, const std::function<bool(const std::string &)> &ready,
               std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    if (dir.empty()) dir = ".";
    // Watch before the first look, so a write between the two still wakes us.
    if (inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
        int err = errno;
        close(fd);
        throw std::system_error(err, std::generic_category(), "inotify_add_watch " + dir);
    }
    bool done = false;
    for (;;) {
        if (ready(read_text_file(path))) {
            done = true;
            break;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) > 0) {
            char events[4096];
            while (read(fd, events, sizeof events) > 0) {
            }
        }
    }
    close(fd);
    return done;
}

bool wait_file_lines(const std::string &path, size_t count, std::chrono::milliseconds timeout) {
    return wait_file(
        path, [count](const std::string &text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= count; },
        timeout);
}

}  // namespace hubtest

#include "file_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "child_process.h"

namespace hubtest {

std::vector<std::string> read_lines(const std::string &path) {
    std::string text = tools::read_text_file(path);
    std::istringstream in(text.substr(0, text.rfind('\n') + 1));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool wait_file(const std::string &path, const std::function<bool(const std::string &)> &ready,
               std::chrono::milliseconds timeout) {
    auto give_up = std::chrono::steady_clock::now() + timeout;
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    // Watch before the first look, so a write between the two still wakes us.
    inotify_add_watch(fd, path.substr(0, path.find_last_of('/') + 1).c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE);
    bool done;
    while (!(done = ready(tools::read_text_file(path)))) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) < 0) break;
        char events[4096];
        while (read(fd, events, sizeof events) > 0) {
        }
    }
    close(fd);
    return done;
}

bool wait_file_lines(const std::string &path, size_t count, std::chrono::milliseconds timeout) {
    return wait_file(path, [count](const std::string &text) { return std::count(text.begin(), text.end(), '\n') >= static_cast<long>(count); }, timeout);
}

}  // namespace hubtest

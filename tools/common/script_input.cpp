#include "script_input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tools {

bool load_script_file(const std::string &path, ScriptQueue &queue, std::string *error) {
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    queue.add_text(text.str());
    queue.end_source();
    return true;
}

bool feed_script(int fd, ScriptQueue &queue) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return true;
        queue.end_input();  // an input that fails is an input that has ended
        return false;
    }
    if (n == 0) {
        queue.end_input();
        return false;
    }
    queue.add_text(std::string_view(buffer, static_cast<size_t>(n)));
    return true;
}

int poll_timeout(std::optional<TimePoint> deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::ceil<Millis>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

}  // namespace tools

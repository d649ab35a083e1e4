#include "capture_watch.h"

#include "file_wait.h"

namespace hubdissector {

using hubtest::wait_file;

bool wait_capture_started(const std::string &path, std::chrono::milliseconds timeout) {
    return wait_file(path, [](const std::string &text) { return !text.empty(); }, timeout);
}

bool wait_capture_holds(const std::string &path, const std::string &bytes, std::chrono::milliseconds timeout) {
    return wait_file(path, [&bytes](const std::string &text) { return text.find(bytes) != std::string::npos; },
                     timeout);
}

}  // namespace hubdissector

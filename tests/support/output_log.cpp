#include "output_log.h"

namespace hubtest {

void OutputLog::append(const char *data, size_t size) {
    std::lock_guard lock(mutex_);
    text_.append(data, size);
    for (size_t newline; (newline = text_.find('\n', line_start_)) != std::string::npos; line_start_ = newline + 1)
        lines_.push_back(text_.substr(line_start_, newline - line_start_));
    changed_.notify_all();
}

void OutputLog::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool OutputLog::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::string OutputLog::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

std::vector<std::string> OutputLog::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

size_t OutputLog::line_count() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
}

std::optional<size_t> OutputLog::wait_line(const std::string &line, Millis timeout, size_t from) const {
    return wait_line([&line](const std::string &candidate) { return candidate == line; }, timeout, from);
}

std::optional<size_t> OutputLog::wait_line(const LineMatch &match, Millis timeout, size_t from) const {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; from < lines_.size(); ++from)
            if (match(lines_[from])) return (found = from).has_value();
        return closed_;
    });
    return found;
}

}  // namespace hubtest

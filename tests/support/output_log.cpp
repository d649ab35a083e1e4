#include "output_log.h"

namespace hubtest {

void OutputLog::append(const char *data, size_t size) {
    std::lock_guard lock(mutex_);
    text_.append(data, size);
    size_t newline;
    while ((newline = text_.find('\n', line_start_)) != std::string::npos) {
        lines_.push_back(text_.substr(line_start_, newline - line_start_));
        line_start_ = newline + 1;
    }
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
            if (match(lines_[from])) {
                found = from;
                return true;
            }
        return closed_;
    });
    return found;
}

bool OutputLog::wait_text(const std::string &needle, Millis timeout, size_t from) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return (from <= text_.size() && text_.find(needle, from) != std::string::npos) || closed_;
    }) && from <= text_.size() && text_.find(needle, from) != std::string::npos;
}

}  // namespace hubtest

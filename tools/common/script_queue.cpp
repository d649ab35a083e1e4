#include "script_queue.h"

#include <charconv>

namespace tools {
namespace {

std::string_view trimmed(std::string_view s) {
    size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

}  // namespace

void ScriptQueue::add_text(std::string_view bytes) {
    partial_.append(bytes);
    size_t newline;
    while ((newline = partial_.find('\n')) != std::string::npos) {
        lines_.emplace_back(partial_, 0, newline);
        partial_.erase(0, newline + 1);
    }
}

void ScriptQueue::end_source() {
    if (!partial_.empty()) lines_.push_back(std::move(partial_));
    partial_.clear();
}

void ScriptQueue::end_input() {
    end_source();
    input_ended_ = true;
}

std::optional<std::string> ScriptQueue::next(TimePoint now) {
    if (hold_until_) {
        if (now < *hold_until_) return std::nullopt;
        hold_until_.reset();
    }
    while (!lines_.empty()) {
        std::string line(trimmed(lines_.front()));
        lines_.pop_front();
        if (line.empty() || line[0] == '#') continue;
        if (auto pause = parse_sleep(line)) {
            hold_until_ = now + *pause;
            return std::nullopt;
        }
        return line;
    }
    return std::nullopt;
}

std::optional<Millis> parse_sleep(std::string_view line) {
    constexpr std::string_view verb = "sleep";
    line = trimmed(line);
    if (line.substr(0, verb.size()) != verb) return std::nullopt;
    std::string_view value = line.substr(verb.size());
    size_t begin = value.find_first_not_of(" \t");
    if (begin == 0 || begin == std::string_view::npos) return std::nullopt;  // "sleepy", or no value
    auto ms = parse_number(value.substr(begin), 0, 24L * 3600 * 1000);
    if (!ms) return std::nullopt;
    return Millis(*ms);
}

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t begin = line.find_first_not_of(" \t\r", pos);
        if (begin == std::string_view::npos) break;
        size_t end = line.find_first_of(" \t\r", begin);
        if (end == std::string_view::npos) end = line.size();
        words.emplace_back(line.substr(begin, end - begin));
        pos = end;
    }
    return words;
}

std::optional<long> parse_number(std::string_view text, long low, long high) {
    long value = 0;
    const char *last = text.data() + text.size();
    std::from_chars_result parsed = std::from_chars(text.data(), last, value);
    if (parsed.ec != std::errc() || parsed.ptr != last || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace tools

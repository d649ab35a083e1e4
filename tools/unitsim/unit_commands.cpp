#include "unit_commands.h"

#include <algorithm>
#include <string>

#include "can/frame_text.h"

namespace unitsim {

using tools::parse_number;

std::optional<uint8_t> parse_temperature(std::string_view text) {
    size_t mark = text.find_first_of(".,");
    auto whole = parse_number(text.substr(0, mark), 0, 127);
    if (!whole) return std::nullopt;
    long half = 0;
    if (mark != std::string_view::npos) {
        std::string_view fraction = text.substr(mark + 1);
        if (fraction == "5")
            half = 1;
        else if (fraction != "0")
            return std::nullopt;
    }
    return static_cast<uint8_t>(*whole * 2 + half);
}

UnitCommand parse_unit_command(std::string_view line) {
    auto words = tools::split_words(line);
    if (words.empty()) return BadCommand{"empty command"};
    const std::string &verb = words[0];
    if (verb.find('#') != std::string::npos) {
        CanFrame frame{};
        if (words.size() != 1 || frame_from_cansend(verb.c_str(), &frame) != 0)
            return BadCommand{"not a frame: " + std::string(line)};
        return InjectFrame{frame};
    }
    if (verb == "exam" && words.size() == 1) return RunExam{};
    if (verb == "status" && words.size() == 1) return ShowStatus{};
    if (verb == "quit" && words.size() == 1) return Quit{};
    if (verb == "panel-clear" && words.size() == 1) return PanelClear{};
    if (verb == "temperature" && words.size() == 2) {
        if (auto raw = parse_temperature(words[1])) return SetTemperature{*raw};
        return BadCommand{"temperature: degrees 0 to 127.5 in half steps, e.g. 25.5"};
    }
    if (verb == "fail-gpio" && (words.size() == 2 || words.size() == 3)) {
        auto request = parse_number(words[1], 0, 255);
        auto count = words.size() == 3 ? parse_number(words[2], 1, 1000000) : std::optional<long>(1);
        if (request && count) return FailGpio{static_cast<uint32_t>(*request), static_cast<int>(*count)};
        return BadCommand{"fail-gpio: a request number 0 to 255 and an optional count"};
    }
    if (verb == "wait-hub" && words.size() <= 2) {
        auto ms = words.size() == 2 ? parse_number(words[1], 0, 3600000) : std::optional<long>(10000);
        if (ms) return WaitHub{tools::Millis(*ms)};
        return BadCommand{"wait-hub: a timeout in milliseconds"};
    }
    if (verb == "panel-line" && words.size() >= 2) {
        auto number = parse_number(words[1], 0, 1);
        if (!number) return BadCommand{"panel-line: line 0 or 1, then the text"};
        // The text keeps its inner spaces: everything after the line number
        // and the one blank that follows it.
        std::string_view text = line;
        for (int word = 0; word < 2; ++word) {
            text.remove_prefix(std::min(text.size(), text.find_first_not_of(" \t")));
            text.remove_prefix(std::min(text.size(), text.find_first_of(" \t")));
        }
        if (!text.empty()) text.remove_prefix(1);
        return PanelLine{static_cast<int>(*number), std::string(text)};
    }
    return BadCommand{"unknown command: " + std::string(line)};
}

}  // namespace unitsim

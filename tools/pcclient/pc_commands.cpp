#include "pc_commands.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "hub_record_view.h"
#include "strprintf.h"

namespace pcclient {
namespace {

using tools::parse_number;
using tools::strprintf;

constexpr tools::Millis DEFAULT_WAIT(5000);

struct NamedEvent {
    const char *name;
    uint16_t event;
    int values;  // 0, 1 (a patient byte) or 2 (family and exam, or kV and mA)
};

const NamedEvent EVENTS[] = {
    {"exam", PC_CHANGE_EXAM, 2},         {"family", PC_CHANGE_FAMILY, 2},
    {"kvma", PC_CHANGE_KV_MA, 2},        {"pattype", PC_CHANGE_PAT_TYPE, 1},
    {"patsize", PC_CHANGE_PAT_SIZE, 1},  {"patdent", PC_CHANGE_PAT_DENT, 1},
    {"time-start", PC_REQ_TIME_START, 0}, {"set-cal", PC_SET_LAST_CAL_TIME, 0},
    {"req-cal", PC_REQ_LAST_CAL_TIME, 0}, {"lock", PC_LOCK_KEYBORD, 0},
    {"unlock", PC_UNLOCK_KEYBORD, 0},    {"debug-on", PC_DEBUG_RX_ON, 0},
    {"debug-off", PC_DEBUG_RX_OFF, 0},   {"close", PC_CLOSE_SOCKET, 0},
    {"watchdog", PC_WATCHDOG, 0},
};

PcCommand event_command(const NamedEvent &e, const std::vector<std::string> &words) {
    if (words.size() != static_cast<size_t>(e.values) + 1)
        return BadCommand{strprintf("%s takes %d value(s)", e.name, e.values)};
    PcToHub r{};
    r.Event = e.event;
    // Family and exam are 16-bit fields; kV, mA and the patient values bytes.
    long high = (e.event == PC_CHANGE_EXAM || e.event == PC_CHANGE_FAMILY) ? 65535 : 255;
    std::optional<long> a, b;
    if (e.values >= 1 && !(a = parse_number(words[1], 0, high)))
        return BadCommand{strprintf("%s: values 0 to %ld", e.name, high)};
    if (e.values == 2 && !(b = parse_number(words[2], 0, high)))
        return BadCommand{strprintf("%s: values 0 to %ld", e.name, high)};
    switch (e.event) {
    case PC_CHANGE_EXAM:
    case PC_CHANGE_FAMILY:
        r.SelFamily = static_cast<uint16_t>(*a);
        r.SelExam = static_cast<uint16_t>(*b);
        break;
    case PC_CHANGE_KV_MA:
        r.kV = static_cast<uint8_t>(*a);
        r.mA = static_cast<uint8_t>(*b);
        break;
    case PC_CHANGE_PAT_TYPE: r.SelPatType = static_cast<uint8_t>(*a); break;
    case PC_CHANGE_PAT_SIZE: r.SelPatSize = static_cast<uint8_t>(*a); break;
    case PC_CHANGE_PAT_DENT: r.SelPatDent = static_cast<uint8_t>(*a); break;
    default: break;
    }
    return SendEvent{r};
}

std::optional<tools::Millis> timeout_word(const std::vector<std::string> &words, size_t index) {
    if (words.size() <= index) return DEFAULT_WAIT;
    auto ms = parse_number(words[index], 0, 3600000);
    if (!ms) return std::nullopt;
    return tools::Millis(*ms);
}

}  // namespace

PcCommand parse_pc_command(std::string_view line) {
    auto words = tools::split_words(line);
    if (words.empty()) return BadCommand{"empty command"};
    const std::string &verb = words[0];
    auto named =
        std::find_if(std::begin(EVENTS), std::end(EVENTS), [&](const NamedEvent &e) { return verb == e.name; });
    if (named != std::end(EVENTS)) return event_command(*named, words);
    if (verb == "raw") {
        auto code = words.size() == 2 ? parse_number(words[1], 0, 65535) : std::nullopt;
        if (!code) return BadCommand{"raw: one event code 0 to 65535"};
        PcToHub r{};
        r.Event = static_cast<uint16_t>(*code);
        return SendEvent{r};
    }
    if (verb == "status") {
        auto status = words.size() == 2 ? parse_number(words[1], 0, 65535) : std::nullopt;
        if (!status) return BadCommand{"status: one PC status 0 to 65535"};
        return SetStatus{static_cast<uint16_t>(*status)};
    }
    if (verb == "wait-record" && (words.size() == 2 || words.size() == 3)) {
        auto type = parse_hub_record_type(words[1]);
        auto ms = timeout_word(words, 2);
        if (type && ms) return WaitRecord{*type, *ms};
        return BadCommand{"wait-record: a record type (LINE0, EXAM_PARAM, ... or a number) and a timeout in ms"};
    }
    if (verb == "wait-unit" && words.size() <= 2) {
        if (auto ms = timeout_word(words, 1)) return WaitUnit{*ms};
        return BadCommand{"wait-unit: a timeout in ms"};
    }
    if (verb == "quit" && words.size() == 1) return Quit{};
    return BadCommand{"unknown command: " + std::string(line)};
}

std::string pc_record_text(const PcToHub &r) {
    const char *name = pc_event_name(r.Event);
    std::string text = name ? strprintf("-> %s", name) : strprintf("-> event %u", unsigned{r.Event});
    switch (r.Event) {
    case PC_WATCHDOG: text += strprintf(" PCStatus %u", unsigned{r.PCStatus}); break;
    case PC_CHANGE_EXAM:
    case PC_CHANGE_FAMILY:
        text += strprintf(" SelFamily %u SelExam %u", unsigned{r.SelFamily}, unsigned{r.SelExam});
        break;
    case PC_CHANGE_KV_MA: text += strprintf(" kV %u mA %u", unsigned{r.kV}, unsigned{r.mA}); break;
    case PC_CHANGE_PAT_TYPE: text += strprintf(" SelPatType %u", unsigned{r.SelPatType}); break;
    case PC_CHANGE_PAT_SIZE: text += strprintf(" SelPatSize %u", unsigned{r.SelPatSize}); break;
    case PC_CHANGE_PAT_DENT: text += strprintf(" SelPatDent %u", unsigned{r.SelPatDent}); break;
    default: break;
    }
    return text;
}

}  // namespace pcclient

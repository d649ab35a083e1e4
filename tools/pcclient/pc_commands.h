// The command lines hub-pcclient takes on standard input or from a script,
// and the text of a record it sends. Events by name:
//   exam FAMILY EXAM    family FAMILY EXAM    kvma KV MA
//   pattype N    patsize N    patdent N
//   time-start    set-cal    req-cal    lock    unlock
//   debug-on    debug-off    close    watchdog    raw EVENT
// and for the session:
//   status N                  answer watchdogs with PC status N from now on
//   wait-record TYPE [MS]     hold until a record of TYPE comes (5000 ms)
//   wait-unit [MS]            hold until the CPU node has reported in (5000 ms)
//   quit                      end
// ("sleep MS" is taken by the script queue.) Pure parsing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "pc/pc_records.h"
#include "script_queue.h"

namespace pcclient {

// An event for the hub; PCStatus is filled in when it is sent.
struct SendEvent {
    PcToHub record;
};
struct SetStatus {
    uint16_t status;
};
struct WaitRecord {
    uint16_t type;
    tools::Millis timeout;
};
// Until a record says the CPU node has reported its test selection (Word8
// is no longer 6); before that the hub takes every event as a watchdog.
struct WaitUnit {
    tools::Millis timeout;
};
struct Quit {};
struct BadCommand {
    std::string why;
};

using PcCommand = std::variant<SendEvent, SetStatus, WaitRecord, WaitUnit, Quit, BadCommand>;

PcCommand parse_pc_command(std::string_view line);

// "-> PC_CHANGE_KV_MA kV 66 mA 10", "-> PC_WATCHDOG PCStatus 1", "-> event 55".
std::string pc_record_text(const PcToHub &record);

}  // namespace pcclient

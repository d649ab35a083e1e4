#include "hub_conversation.h"

#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <stdexcept>

#include "capture_watch.h"
#include "hub_rig.h"
#include "pc_client.h"

namespace hubdissector {
namespace {

using namespace std::chrono_literals;
using hubtest::HubRecord;
using hubtest::Millis;
using hubtest::PcBytes;
using hubtest::PcRecord;

constexpr Millis WAIT = 5s;
constexpr Millis START_WAIT = 10s;

// PC event codes, as the hub and the dissector name them.
enum : uint16_t {
    PC_WATCHDOG = 0, PC_CLOSE_SOCKET = 1, PC_CHANGE_EXAM = 2, PC_CHANGE_KV_MA = 3, PC_CHANGE_FAMILY = 4,
    PC_CHANGE_PAT_TYPE = 5, PC_CHANGE_PAT_SIZE = 6, PC_CHANGE_PAT_DENT = 7, PC_REQ_TIME_START = 8,
    PC_SET_LAST_CAL_TIME = 9, PC_REQ_LAST_CAL_TIME = 10, PC_LOCK_KEYBORD = 11, PC_UNLOCK_KEYBORD = 12,
    PC_DEBUG_RX_ON = 100, PC_DEBUG_RX_OFF = 101, UNKNOWN_EVENT = 42,
};

// Hub-to-PC message types.
enum : uint16_t { WATCHDOG = 0, LINE0 = 1, LINE1 = 2, DATE_TIME = 3, EXAM_STATUS = 4, EXAM_PARAM = 5, TEST_SEL = 6 };

// The PC status reported in watchdog answers: not 0, so watchdogs come every pollTime.
constexpr uint16_t PC_BUSY = 2;

std::string event_line(const char *name, uint16_t code) {
    char text[128];
    snprintf(text, sizeof text, "Recived Message from PC... Event: %s! %x", name, code);
    return text;
}

class Conversation {
public:
    Conversation(uint16_t port, std::string capture) : capture_(std::move(capture)) {
        rig_.port = port;
        rig_.conf.server_port = port;
        // A watchdog every second whatever the PC reports, so a second one
        // comes soon after the first.
        rig_.conf.poll_time = 1;
        rig_.conf.poll_time_calibration = 1;
    }

    void run() {
        start();
        reports_from_the_cpu_node();
        events_from_the_pc();
        close_and_mark_the_end();
    }

    void dump_hub_output() const {
        std::cerr << "--- hub standard output (last lines)\n";
        auto lines = rig_.hub.stdout_lines();
        for (size_t i = lines.size() > 80 ? lines.size() - 80 : 0; i < lines.size(); ++i)
            std::cerr << lines[i] << "\n";
        std::cerr << "--- hub standard error\n" << rig_.hub.stderr_text() << "---\n";
    }

private:
    static void expect(bool ok, const std::string &what) {
        if (!ok) throw std::runtime_error(what);
    }

    // Waits for the hub's next trace line `line`, after the last one waited for.
    void wait_trace(const std::string &line) {
        auto at = rig_.hub.wait_stdout_line(line, WAIT, next_line_);
        expect(at.has_value(), "the hub traced no \"" + line + "\"");
        next_line_ = *at + 1;
    }

    void inject(uint32_t id, std::initializer_list<uint8_t> data) {
        CanFrame frame{};
        frame.id = id;
        for (uint8_t b : data) frame.data[frame.length++] = b;
        rig_.can.inject(frame);
    }

    HubRecord wait_record(uint16_t type, const std::string &what) {
        auto record = pc_.wait_record_type(type, WAIT);
        expect(record.has_value(), "no " + what + " record reached the PC");
        return *record;
    }

    void send(const PcRecord &record) { expect(pc_.send(record), "the PC could not send a record"); }

    void send_event(const PcRecord &record, const char *name) {
        send(record);
        wait_trace(event_line(name, record.event));
    }

    void start() {
        expect(wait_capture_started(capture_, START_WAIT), "the capture did not start (" + capture_ + ")");
        rig_.start();
        wait_trace("Init SJA1000 = 0");
        expect(pc_.connect(rig_.port, START_WAIT), "the PC could not connect");
        // Before any report: MsgType 0, Word8 6, the model name, checksum 60 45.
        auto first = pc_.read_record(WAIT);
        expect(first && hubtest::record_type(*first) == WATCHDOG, "the first record was no watchdog");
        expect(hubtest::record_be16(*first, 70) == 0x6045, "the first watchdog's checksum is not 60 45");
        send_event(PcRecord{.event = PC_WATCHDOG, .pc_status = PC_BUSY}, "PC_WATCHDOG");
    }

    void reports_from_the_cpu_node() {
        // Line 0 before the test selection, while Word8 is still 6: EF D5.
        inject(0x20F, {0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G'});
        inject(0x20F, {0x20, 'H', 'I', 'J', 'K', 'L', 'M', 'N'});
        inject(0x20F, {0x30, 'O', 'P', 0, 0, 0, 0, 0});
        auto line0 = wait_record(LINE0, "display line 0");
        expect(hubtest::record_be16(line0, 70) == 0xEFD5, "display line 0 A to P has no checksum EF D5");

        inject(0x23F, {1, 2, 3, 4, 5, 6, 7, 8});
        wait_record(TEST_SEL, "test selection");
        inject(0x20F, {0x90, 'a', 'b', 'c', 'd', 'e', 'f', 'g'});
        inject(0x20F, {0xA0, 'h', 'i', 'j', 'k', 'l', 'm', 'n'});
        inject(0x20F, {0xB0, 'o', 'p', 0, 0, 0, 0, 0});
        wait_record(LINE1, "display line 1");
        inject(0x217, {1, 2, 3, 4, 5, 6, 7, 8});
        wait_record(EXAM_PARAM, "exam parameters");
        inject(0x21F, {5});
        wait_record(EXAM_STATUS, "exam status");
        // 2024-05-06 07:08:09, kept by the hub for PC_REQ_TIME_START.
        inject(0x267, {0, 0x07, 0xE8, 5, 6, 7, 8, 9});
        wait_trace("Second: 9");

        wait_record(WATCHDOG, "second watchdog");
        send_event(PcRecord{.event = PC_WATCHDOG, .pc_status = PC_BUSY}, "PC_WATCHDOG");
    }

    void events_from_the_pc() {
        send_event(PcRecord{.event = PC_CHANGE_EXAM, .sel_family = 3, .sel_exam = 12}, "PC_CHANGE_EXAM");
        send_event(PcRecord{.event = PC_CHANGE_KV_MA, .kv = 70, .ma = 8}, "PC_CHANGE_KV_MA");
        send_event(PcRecord{.event = PC_CHANGE_FAMILY, .sel_family = 4, .sel_exam = 1}, "PC_CHANGE_FAMILY");

        // Two records in one write: one segment carries both.
        PcBytes type = PcRecord{.event = PC_CHANGE_PAT_TYPE, .sel_pat_type = 2}.encode();
        PcBytes size = PcRecord{.event = PC_CHANGE_PAT_SIZE, .sel_pat_size = 3}.encode();
        uint8_t both[2 * hubtest::PC_RECORD_SIZE];
        std::copy(type.begin(), type.end(), both);
        std::copy(size.begin(), size.end(), both + hubtest::PC_RECORD_SIZE);
        expect(pc_.send_bytes(both, sizeof both), "the PC could not send two records at once");
        wait_trace(event_line("PC_CHANGE_PAT_TYPE", PC_CHANGE_PAT_TYPE));
        wait_trace(event_line("PC_CHANGE_PAT_SIZE", PC_CHANGE_PAT_SIZE));

        send_event(PcRecord{.event = PC_CHANGE_PAT_DENT, .sel_pat_dent = 1}, "PC_CHANGE_PAT_DENT");
        send_event(PcRecord{.event = PC_REQ_TIME_START}, "PC_REQ_TIME_START");
        wait_record(DATE_TIME, "start time");
        send_event(PcRecord{.event = PC_SET_LAST_CAL_TIME}, "PC_SET_LAST_CAL_TIME");
        send_event(PcRecord{.event = PC_REQ_LAST_CAL_TIME}, "PC_REQ_LAST_CAL_TIME");
        wait_record(DATE_TIME, "last calibration time");

        // One record in two writes, the second only once the hub has read the
        // first: two segments. The hub takes each receive as a record of its
        // own, so the halves are chosen to be harmless: the first still reads
        // as PC_LOCK_KEYBORD, the second (all zero) as PC_WATCHDOG.
        PcBytes lock = PcRecord{.event = PC_LOCK_KEYBORD}.encode();
        constexpr size_t HALF = hubtest::PC_RECORD_SIZE / 2;
        expect(pc_.send_bytes(lock.data(), HALF), "the PC could not send half a record");
        wait_trace("recv retval: 10");
        wait_trace(event_line("PC_LOCK_KEYBORD", PC_LOCK_KEYBORD));
        expect(pc_.send_bytes(lock.data() + HALF, HALF), "the PC could not send the second half");
        wait_trace("recv retval: 10");

        send_event(PcRecord{.event = PC_UNLOCK_KEYBORD}, "PC_UNLOCK_KEYBORD");
        send_event(PcRecord{.event = PC_DEBUG_RX_ON}, "PC_DEBUG_RX_ON");
        send_event(PcRecord{.event = PC_DEBUG_RX_OFF}, "PC_DEBUG_RX_OFF");
        send(PcRecord{.event = UNKNOWN_EVENT});
        wait_trace("@@@@@ Recived Message from PC... Event: Error!!! @@@@@ 2a");
        send_event(PcRecord{.event = PC_WATCHDOG, .pc_status = PC_BUSY}, "PC_WATCHDOG");
    }

    void close_and_mark_the_end() {
        std::string marker = conversation_end_marker();
        expect(pc_.send_bytes(marker.data(), marker.size()), "the PC could not send PC_CLOSE_SOCKET");
        wait_trace("Close Client Socket!");
        expect(pc_.wait_closed(WAIT), "the hub did not close the connection");
        expect(wait_capture_holds(capture_, marker, START_WAIT), "the capture never got the last record");
    }

    std::string capture_;
    hubtest::HubRig rig_;
    hubtest::PcClient pc_;
    size_t next_line_ = 0;
};

}  // namespace

std::string conversation_end_marker() {
    PcBytes close = PcRecord{.event = PC_CLOSE_SOCKET}.encode();
    // Reserved bytes, which the hub does not look at.
    close[4] = 'E';
    close[5] = 'N';
    close[6] = 'D';
    close[7] = '.';
    return std::string(close.begin(), close.end());
}

bool run_conversation(uint16_t port, const std::string &capture_path) {
    Conversation conversation(port, capture_path);
    try {
        conversation.run();
        return true;
    } catch (const std::exception &e) {
        std::cerr << "hub_dissector_traffic: " << e.what() << "\n";
        conversation.dump_hub_output();
        return false;
    }
}

}  // namespace hubdissector

#include "can/can_rx_qsd.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "can/display_messages.h"
#include "can/thread_can_write.h"
#include "pc/pc_reports.h"
#include "platform/trace.h"
#include "sm/cpu_sm.h"

namespace {

// Written here on the CAN reader, read by the TCP server for the PC: the lock
// keeps the PC from ever being sent a date made of two messages.
DateTime Start_Time{};
std::mutex StartTimeLock;

}  // namespace

DateTime start_time_get() {
    std::lock_guard<std::mutex> guard(StartTimeLock);
    return Start_Time;
}

void can_send_PDM_QSD() {
    canSendMessage(can_frame_to_cpu({MSG_PDM_REPLY, static_cast<uint8_t>(Cpu_data.state.load() & 0xFF), 0,
                                     static_cast<uint8_t>(Cpu_data.status1 & 0xFF),
                                     static_cast<uint8_t>(Cpu_data.status2 & 0xFF)}));
}

void can_exam_status_menagement(CanFrame frame) {
    console("QSD STATUS CODE: %d\n", frame.data[0]);
    tcp_server_send_exam_status(frame.data[0]);
    can_send_ack(ACK_EXAM_STATUS);
}

void can_version_menagement(CanFrame frame) {
    console("HW Major: %d\n", frame.data[1]);
    console("HW Minor: %d\n", frame.data[2]);
    console("FW Major: %d\n", frame.data[3]);
    console("FW Minor: %d\n", frame.data[4]);
    constexpr uint16_t kHubVersion = 27;
    canSendMessage(can_frame_to_cpu({MSG_VERSION_REPLY, 0, 1, static_cast<uint8_t>(kHubVersion >> 8),
                                     static_cast<uint8_t>(kHubVersion & 0xFF)}));
}

void can_conf_ethernet(CanFrame frame) {
    const uint8_t *d = frame.data;
    unsigned ip = (unsigned{d[0]} << 24) | (unsigned{d[1]} << 16) | (unsigned{d[2]} << 8) | d[3];
    unsigned mask = (unsigned{d[4]} << 24) | (unsigned{d[5]} << 16) | (unsigned{d[6]} << 8) | d[7];
    console("Ip: %08x; %d.%d.%d.%d\n", ip, d[0], d[1], d[2], d[3]);
    console("Netmask: %08x; %d.%d.%d.%d\n", mask, d[4], d[5], d[6], d[7]);
    char command[64];
    snprintf(command, sizeof command, "ifconfig eth0 %d.%d.%d.%d\n", d[0], d[1], d[2], d[3]);
    console("%s", command);
    // Anything printed so far must come before the command's own output.
    fflush(stdout);
    (void)system(command);
}

void can_set_DateTime(CanFrame frame) {
    const uint8_t *d = frame.data;
    DateTime t{static_cast<uint16_t>(d[1] * 256 + d[2]), d[3], d[4], d[5], d[6], d[7]};
    {
        std::lock_guard<std::mutex> guard(StartTimeLock);
        Start_Time = t;
    }
    console("Year: %d\n", t.Year);
    console("Month: %d\n", t.Month);
    console("Day: %d\n", t.Day);
    console("Hour: %d\n", t.Hour);
    console("Minute: %d\n", t.Minute);
    console("Second: %d\n", t.Second);
}

void canRxQsd(CanFrame frame) {
    switch (can_function(frame.id)) {
    case FUNC_STATE_COMMAND:
        cpu_sm_store_command(can_state_command(frame.id));
        return;
    case FUNC_PDM_REQUEST:
        can_send_PDM_QSD();
        return;
    case FUNC_NODE_PDM:
        break;
    default:
        return;
    }
    switch (can_command(frame.id)) {
    case CMD_DISPLAY_LINE: display_line_message(frame, 1); break;
    case CMD_EXAM_PARAM: tcp_server_send_exam_param(frame); break;
    case CMD_EXAM_STATUS: can_exam_status_menagement(frame); break;
    case CMD_CLEAR_DISPLAY:
        if (frame.data[0] == 1) display_clear(0);  // the CPU node wants no acknowledgement
        break;
    case CMD_VERSION: can_version_menagement(frame); break;
    case CMD_TEST_SEL: tcp_server_send_test_sel(frame); break;
    case CMD_ETHERNET: can_conf_ethernet(frame); break;
    case CMD_DATE_TIME: can_set_DateTime(frame); break;
    default: break;
    }
}

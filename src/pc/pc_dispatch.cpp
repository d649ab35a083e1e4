#include "pc/pc_dispatch.h"

#include "hub_cfg.h"
#include "pc/hub_to_pc.h"
#include "pc/pc_reports.h"
#include "pc/rx_pc.h"
#include "pc/thread_tcp_server.h"
#include "platform/trace.h"
#include "sim/sim_thread_can_read.h"

namespace {

// The CPU node counts as not initialised while Word8 still holds this.
constexpr uint16_t CPU_NOT_INITIALIZED = 6;

uint16_t word8() {
    SemLock lock(TcpSem);
    return hub_to_pc_get16(hub_to_pc::Word8);
}

void set_exam_status(uint8_t status) {
    SemLock lock(TcpSem);
    hub_to_pc_set8(hub_to_pc::ExamStatus, status);
}

}  // namespace

int tcp_server_recive_message(const uint8_t *record) {
    PcToHub msg = pc_to_hub_decode(record);
    uint16_t event = msg.Event;

    if (word8() == CPU_NOT_INITIALIZED) {
        trace("Recived Message from PC... Event: %x. CPU NOT INITIALIZED, event forced to PC_WATCHDOG\n", static_cast<unsigned>(event));
        event = PC_WATCHDOG;
    }
    const char *name = pc_event_name(event);
    if (name == nullptr) {
        console_and_log("@@@@@ Recived Message from PC... Event: Error!!! @@@@@ %x\n", static_cast<unsigned>(event));
        return 0;
    }
    trace("Recived Message from PC... Event: %s! %x\n", name, static_cast<unsigned>(event));

    switch (event) {
    case PC_WATCHDOG:
        verify_PCStatus(msg.PCStatus);
        tcp_server_watchdog_answered();
        break;
    case PC_CLOSE_SOCKET:
        return -1;
    case PC_CHANGE_EXAM:
    case PC_CHANGE_FAMILY:
        trace("SelFamily: %d; SelExam: %d\n", msg.SelFamily, msg.SelExam);
        if (Hub_Config.simulator) sim_pc_command();
        send_cpu_change_exam(msg);
        break;
    case PC_CHANGE_KV_MA:
        trace("Voltage: %d kV; Current: %d mA\n", msg.kV, msg.mA);
        if (Hub_Config.simulator) sim_pc_command();
        send_cpu_change_kV_mA(msg);
        break;
    case PC_CHANGE_PAT_TYPE:
        trace("SelPatType: %d\n", msg.SelPatType);
        send_cpu_change_PatType(msg);
        break;
    case PC_CHANGE_PAT_SIZE:
        trace("SelPatSize: %d\n", msg.SelPatSize);
        send_cpu_change_PatSize(msg);
        break;
    case PC_CHANGE_PAT_DENT:
        trace("SelPatType: %d\n", msg.SelPatDent);  // the panel software's own label
        send_cpu_change_PatDent(msg);
        break;
    case PC_REQ_TIME_START:
        tcp_server_send_start_time();
        break;
    case PC_SET_LAST_CAL_TIME:
        tcp_server_set_calibration_time();
        break;
    case PC_REQ_LAST_CAL_TIME:
        tcp_server_send_calibration_time();
        break;
    case PC_LOCK_KEYBORD:
        send_cpu_lock_kbd(1);
        break;
    case PC_UNLOCK_KEYBORD:
        send_cpu_lock_kbd(0);
        break;
    case PC_DEBUG_RX_ON:
        if (Hub_Config.simulator) set_exam_status(7);
        break;
    case PC_DEBUG_RX_OFF:
        if (Hub_Config.simulator) set_exam_status(1);
        break;
    default:
        break;
    }
    return 0;
}

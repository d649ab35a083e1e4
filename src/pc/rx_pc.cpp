#include "pc/rx_pc.h"

#include "can/can_frame.h"
#include "can/thread_can_write.h"

namespace {
// 16-bit selections travel as their low byte; the high byte is dropped.
uint8_t low(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
}  // namespace

void send_cpu_change_exam(const PcToHub &msg) {
    // Family and exam each go as a little-endian word whose high byte is 0.
    canSendMessage(can_frame_to_cpu({MSG_CHANGE_EXAM, low(msg.SelFamily), 0, low(msg.SelExam), 0}));
}

void send_cpu_change_kV_mA(const PcToHub &msg) {
    canSendMessage(can_frame_to_cpu({MSG_CHANGE_KV_MA, msg.kV, msg.mA}));
}

// The patient commands carry the message code alone.
void send_cpu_change_PatType(const PcToHub &) { canSendMessage(can_frame_to_cpu({MSG_CHANGE_PAT_TYPE})); }
void send_cpu_change_PatSize(const PcToHub &) { canSendMessage(can_frame_to_cpu({MSG_CHANGE_PAT_SIZE})); }
void send_cpu_change_PatDent(const PcToHub &) { canSendMessage(can_frame_to_cpu({MSG_CHANGE_PAT_DENT})); }

void send_cpu_lock_kbd(uint8_t lock) { canSendMessage(can_frame_to_cpu({MSG_LOCK_KBD, lock})); }

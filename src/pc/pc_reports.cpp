#include "pc/pc_reports.h"

#include <cstring>

#include "can/can_rx_qsd.h"
#include "can/thread_can_write.h"
#include "pc/date_time.h"
#include "pc/hub_to_pc.h"
#include "platform/trace.h"

namespace {

// Bit 1: segment 16 of the line came asking for an acknowledgement; bit 2:
// segment 32 did. Touched only under TcpSem.
uint8_t ackLine0 = 0;
uint8_t ackLine1 = 0;

constexpr uint8_t ACK_SEGMENT_16 = 1;
constexpr uint8_t ACK_SEGMENT_32 = 2;
constexpr uint8_t ACK_BOTH = ACK_SEGMENT_16 | ACK_SEGMENT_32;

// Calibration time as the PC last set it; TCP server thread only.
DateTime Calibration_Time{};

// Copies up to `width` characters, stopping at a NUL, and NUL-fills the rest;
// never reads past `width` characters of text.
void copy_segment(uint8_t *dst, const uint8_t *text, size_t width) {
    size_t i = 0;
    for (; i < width && text[i] != 0; ++i) dst[i] = text[i];
    for (; i < width; ++i) dst[i] = 0;
}

void put_date_time(const DateTime &t) {
    using namespace hub_to_pc;
    hub_to_pc_set16(MsgType, MSG_TYPE_DATE_TIME);
    hub_to_pc_set16(Year, t.Year);
    hub_to_pc_set16(Month, t.Month);
    hub_to_pc_set8(Day, t.Day);
    hub_to_pc_set8(Hour, t.Hour);
    hub_to_pc_set8(Minute, t.Minute);
    hub_to_pc_set8(Second, t.Second);
}

}  // namespace

void can_send_ack(uint8_t item) { canSendMessage(can_frame_to_cpu({MSG_ACK, item})); }

void tcp_server_send_display_line(uint8_t line, uint8_t segment, const uint8_t *text, uint8_t ack) {
    SemLock lock(TcpSem);
    const bool second = line != 0;
    uint8_t *chars = G_HubToPc + (second ? hub_to_pc::Line1 : hub_to_pc::Line0);
    uint8_t &bits = second ? ackLine1 : ackLine0;
    switch (segment) {
    case 16:
        trace_line(second ? "L 1-1" : "L 0-1");
        copy_segment(chars, text, 7);
        if (ack == 1) bits |= ACK_SEGMENT_16;
        break;
    case 32:
        trace_line(second ? "L 1-2" : "L 0-2");
        copy_segment(chars + 7, text, 7);
        if (ack == 1) bits |= ACK_SEGMENT_32;
        break;
    case 48: {
        copy_segment(chars + 14, text, 2);
        hub_to_pc_set16(hub_to_pc::MsgType, second ? MSG_TYPE_LINE1 : MSG_TYPE_LINE0);
        char shown[hub_to_pc::LineWidth + 1];
        memcpy(shown, chars, hub_to_pc::LineWidth);
        shown[hub_to_pc::LineWidth] = '\0';
        trace(second ? "L 1-3:%s\n" : "L 0-3:%s\n", shown);
        (void)tcpSendMessage();
        if (ack != 1) break;
        trace(second ? "ackLine1 = %d\n" : "ackLine0 = %d\n", bits);
        if (bits == ACK_BOTH) {
            // Still under TcpSem: the transmit ring's lock nests inside it.
            can_send_ack(second ? ACK_LINE1 : ACK_LINE0);
            bits = 0;
            trace_line(second ? "Ack Line1 Ok" : "Ack Line0 Ok");
        }
        break;
    }
    default:
        break;  // segment 0 and anything else: nothing to do
    }
}

void tcp_server_send_exam_param(CanFrame frame) {
    using namespace hub_to_pc;
    const uint8_t *d = frame.data;
    {
        SemLock lock(TcpSem);
        hub_to_pc_set16(MsgType, MSG_TYPE_EXAM_PARAM);
        hub_to_pc_set8(Byte13, d[0]);
        hub_to_pc_set8(Byte14, d[1]);
        hub_to_pc_set16(Word6, get_be16(d, 2));
        hub_to_pc_set8(Byte15, d[4]);
        hub_to_pc_set8(Byte16, d[5]);
        hub_to_pc_set8(Byte17, d[6]);
        (void)tcpSendMessage();
    }
    can_send_ack(ACK_EXAM_PARAM);
}

void tcp_server_send_test_sel(CanFrame frame) {
    using namespace hub_to_pc;
    const uint8_t *d = frame.data;
    SemLock lock(TcpSem);
    hub_to_pc_set16(MsgType, MSG_TYPE_TEST_SEL);
    hub_to_pc_set16(Word6, get_be16(d, 2));
    hub_to_pc_set16(Word10, get_be16(d, 4));
    hub_to_pc_set16(Word8, get_be16(d, 6));
    hub_to_pc_set8(Byte13, d[0]);
    hub_to_pc_set8(Byte14, d[1]);
    (void)tcpSendMessage();
    lock.release();
    can_send_ack(ACK_TEST_SEL);
}

void tcp_server_send_exam_status(uint8_t status) {
    SemLock lock(TcpSem);
    hub_to_pc_set8(hub_to_pc::ExamStatus, status);
    hub_to_pc_set16(hub_to_pc::MsgType, MSG_TYPE_EXAM_STATUS);
    (void)tcpSendMessage();
}

void tcp_server_send_start_time() {
    DateTime t = start_time_get();
    SemLock lock(TcpSem);
    put_date_time(t);
    trace_line("Send Start Time to PC");
    (void)tcpSendMessage();
}

void tcp_server_send_calibration_time() {
    SemLock lock(TcpSem);
    put_date_time(Calibration_Time);
    trace_line("Send Last Calibration Time to PC");
    (void)tcpSendMessage();
}

void tcp_server_set_calibration_time() {
    using namespace hub_to_pc;
    // The record's date fields hold the last date/time sent to the PC.
    SemLock lock(TcpSem);
    Calibration_Time.Year = hub_to_pc_get16(Year);
    Calibration_Time.Month = G_HubToPc[Month];
    Calibration_Time.Day = G_HubToPc[Day];
    Calibration_Time.Hour = G_HubToPc[Hour];
    Calibration_Time.Minute = G_HubToPc[Minute];
    Calibration_Time.Second = G_HubToPc[Second];
}

#include "can/display_messages.h"

#include "pc/pc_reports.h"
#include "platform/trace.h"

void display_line_message(const CanFrame &frame, uint8_t ack) {
    uint8_t line = (frame.data[0] & 0x80) ? 1 : 0;
    uint8_t segment = frame.data[0] & 0x30;
    tcp_server_send_display_line(line, segment, &frame.data[1], ack);
}

void display_clear(uint8_t ack) {
    static constexpr uint8_t kBlank[7] = {' ', ' ', ' ', ' ', ' ', ' ', ' '};
    trace_line("Clear Display");
    for (uint8_t line = 0; line < 2; ++line)
        for (uint8_t segment : {16, 32, 48}) tcp_server_send_display_line(line, segment, kBlank, ack);
}

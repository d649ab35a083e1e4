#include "can/can_rx_display.h"

#include "can/display_messages.h"

void canRxDisplay(CanFrame frame) {
    if (can_function(frame.id) == FUNC_NODE_PDM) can_read_PDM_Display(frame);
}

void can_read_PDM_Display(CanFrame frame) {
    switch (can_command(frame.id)) {
    case CMD_DISPLAY_LINE:
        display_line_message(frame, 1);
        break;
    case CMD_CLEAR_DISPLAY:
        // The panel's own clear is acknowledged to the CPU node, line by line.
        if (frame.data[0] == 1) display_clear(1);
        break;
    default:
        break;
    }
}

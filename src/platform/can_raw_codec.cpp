#include "platform/can_raw_codec.h"

#include <linux/can/error.h>

#include <cstring>

int can_frame_from_raw(const struct can_frame &in, CanFrame *out) {
    if ((in.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0 || in.can_dlc > CAN_MAX_DLEN) return -1;
    *out = CanFrame{};
    // Both records keep the identifier in host byte order: a plain assignment.
    out->id = in.can_id & CAN_SFF_MASK;
    out->length = in.can_dlc;
    memcpy(out->data, in.data, in.can_dlc);
    return 0;
}

void can_frame_to_raw(const CanFrame &in, struct can_frame *out) {
    *out = {};
    out->can_id = in.id & CAN_SFF_MASK;
    out->can_dlc = static_cast<uint8_t>(can_data_length(in));
    memcpy(out->data, in.data, out->can_dlc);
}

can_err_mask_t can_error_subscription() { return CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_ACK | CAN_ERR_RESTARTED; }

unsigned can_error_events(const struct can_frame &in) {
    if ((in.can_id & CAN_ERR_FLAG) == 0) return 0;
    unsigned events = 0;
    if (in.can_id & CAN_ERR_BUSOFF) events |= CAN_EVENT_BUS_OFF;
    if (in.can_id & CAN_ERR_ACK) events |= CAN_EVENT_NO_ACK;
    if (in.can_id & CAN_ERR_RESTARTED) events |= CAN_EVENT_RESTARTED;
    if (in.can_id & CAN_ERR_CRTL) {
        const uint8_t ctrl = in.data[1];
        if (ctrl & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) events |= CAN_EVENT_ERROR_PASSIVE;
        else if (ctrl & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) events |= CAN_EVENT_ERROR_WARNING;
        if (ctrl & CAN_ERR_CRTL_ACTIVE) events |= CAN_EVENT_ERROR_ACTIVE;
        if (ctrl & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW)) events |= CAN_EVENT_OVERRUN;
    }
    return events;
}

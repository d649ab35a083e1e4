#include "platform/can_raw_codec.h"

#include <cstring>

int can_frame_from_raw(const struct can_frame &in, CanFrame *out) {
    if ((in.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0 || in.len > CAN_MAX_DLEN) return -1;
    *out = CanFrame{};
    // Both records keep the identifier in host byte order: a plain assignment.
    out->id = in.can_id & CAN_SFF_MASK;
    out->length = in.len;
    memcpy(out->data, in.data, in.len);
    return 0;
}

void can_frame_to_raw(const CanFrame &in, struct can_frame *out) {
    *out = {};
    out->can_id = in.id & CAN_SFF_MASK;
    out->len = static_cast<uint8_t>(can_data_length(in));
    memcpy(out->data, in.data, out->len);
}

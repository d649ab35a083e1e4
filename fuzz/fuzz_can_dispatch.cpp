// CAN frame dispatch: every frame as the CAN reader handles it (its trace,
// then canReciveMessage) with all that follows: handlers, reports to the PC,
// frames through the transmit ring, state commands the main loop steps.
// Input: byte 0 switches: bit 0 display, bit 1 verbose, bit 2 syslog, bit 3
// drain the ring after every frame (else only at the end, so it fills and
// drops), bit 4 no PC. Then 16-byte frame records as the driver reads them
// (id in host order, any length byte); a short last record is ignored.
#include <cstdint>
#include <cstring>

#include "can/can_frame.h"
#include "can/can_trace.h"
#include "can/thread_can_read.h"
#include "fuzz_support.h"
#include "sm/cpu_sm.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzsupport::init_hub_runtime();
    return 0;
}

namespace {

// The reader traces every frame but the hub's own and the two process-data
// requests.
bool traced(uint32_t id) { return id != ID_HUB_TO_DISPLAY && id != ID_DISPLAY_PDM_REQUEST && id != ID_CPU_PDM_REQUEST; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    fuzzsupport::reset_hub_state();
    const uint8_t flags = data[0];
    fuzzsupport::set_switches(flags & 2, flags & 4, false, flags & 1);
    if (flags & 16) fuzzsupport::set_pc_connected(false);
    const bool drain_each = flags & 8;

    for (size_t at = 1; at + sizeof(CanFrame) <= size; at += sizeof(CanFrame)) {
        CanFrame frame;
        memcpy(&frame, data + at, sizeof frame);
        if (traced(frame.id)) can_trace_read(frame);
        canReciveMessage(frame);
        // The main loop's passes: a stored state command takes effect.
        for (int pass = 0; pass < 4 && cpu_sm() != 0; ++pass) {
        }
        if (drain_each) fuzzsupport::drain_outputs();
    }
    fuzzsupport::drain_outputs();
    return 0;
}

// CAN frames handled as the reader and main loop handle them. Input: byte 0
// bits display, verbose, syslog, drain after each frame, no PC; then 16-byte
// frame records as the driver reads them (a short last one is ignored).
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

// The reader traces every frame but the hub's own and the process-data requests.
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

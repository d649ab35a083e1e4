// PC receives of 1 to 20 bytes on the server's buffer. Input: byte 0 bits
// Word8 from bytes 1-2, simulator, verbose, syslog, no PC; then per receive a
// count byte c and 1 + c % 20 bytes.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "pc/pc_dispatch.h"
#include "pc/pc_records.h"
#include "pc/thread_tcp_server.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzsupport::init_hub_runtime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    fuzzsupport::reset_hub_state();
    const uint8_t flags = data[0];
    if (flags & 1) fuzzsupport::set_word8(static_cast<uint16_t>(data[1] | (data[2] << 8)));
    fuzzsupport::set_switches(flags & 4, flags & 8, flags & 2, false);
    if (flags & 16) fuzzsupport::set_pc_connected(false);

    uint8_t record[PC_TO_HUB_SIZE] = {};  // one connection's receive buffer
    size_t at = 3;
    while (at < size) {
        size_t want = 1 + data[at++] % PC_TO_HUB_SIZE;
        size_t got = size - at < want ? size - at : want;
        if (got == 0) break;
        memcpy(record, data + at, got);
        at += got;
        if (tcp_server_recive_message(record) < 0) {
            // The server closes the connection; the next bytes are a new
            // PC's, with a fresh buffer and the first PC's miss count.
            verify_PCStatus(0);
            memset(record, 0, sizeof record);
            tcp_server_reset_watchdog();
        }
        fuzzsupport::drain_outputs();
    }
    return 0;
}

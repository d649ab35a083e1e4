// Cuts the hub's 72-byte records out of the TCP byte stream, which has no
// framing of its own: however the bytes arrive, every 72 make one record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pc/pc_records.h"

namespace pcclient {

using HubRecord = std::array<uint8_t, HUB_TO_PC_SIZE>;

class RecordStream {
public:
    void add(const uint8_t *bytes, size_t size) { buffer_.insert(buffer_.end(), bytes, bytes + size); }
    // The next whole record, if the bytes for one are there.
    std::optional<HubRecord> next();
    // Bytes of a record not yet complete.
    size_t pending() const { return buffer_.size(); }

private:
    std::vector<uint8_t> buffer_;
};

}  // namespace pcclient

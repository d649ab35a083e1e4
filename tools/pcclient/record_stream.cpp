#include "record_stream.h"

#include <algorithm>

namespace pcclient {

std::optional<HubRecord> RecordStream::next() {
    if (buffer_.size() < HUB_TO_PC_SIZE) return std::nullopt;
    HubRecord record;
    std::copy_n(buffer_.begin(), HUB_TO_PC_SIZE, record.begin());
    buffer_.erase(buffer_.begin(), buffer_.begin() + HUB_TO_PC_SIZE);
    return record;
}

}  // namespace pcclient

// The --panel view of hub-pcclient: the unit's two display lines in a frame
// and the exam status under them, redrawn in place (ANSI cursor-up and
// erase-line) as records come in. Pure: it makes the text, the caller prints it.
#pragma once

#include <string>

#include "hub_record_view.h"

namespace pcclient {

class PanelView {
public:
    // The block for the latest record: over the previous block, unless
    // other output came after it.
    std::string draw(const HubRecordView &view);
    // Something else was printed: the next block starts below it.
    void interrupted() { drawn_ = false; }

    static constexpr int LINES = 5;

private:
    bool drawn_ = false;
};

}  // namespace pcclient

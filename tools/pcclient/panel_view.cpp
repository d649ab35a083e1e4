#include "panel_view.h"

#include "strprintf.h"

namespace pcclient {

std::string PanelView::draw(const HubRecordView &v) {
    const std::string rows[LINES] = {
        "+----------------+",
        "|" + v.line0 + "|",
        "|" + v.line1 + "|",
        "+----------------+",
        tools::strprintf("exam status %u, last record %s, sum %s", unsigned{v.exam_status}, v.type_name.c_str(),
                         v.checksum_ok() ? "ok" : "BAD"),
    };
    std::string text;
    if (drawn_) text = tools::strprintf("\x1b[%dA", LINES);  // back to the top of the block
    for (const std::string &row : rows) text += "\r\x1b[2K" + row + "\n";
    drawn_ = true;
    return text;
}

}  // namespace pcclient

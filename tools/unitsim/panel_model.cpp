#include "panel_model.h"

#include "strprintf.h"

namespace unitsim {

void PanelModel::hub_ready(TimePoint now) { next_pdm_ = now + pdm_period_; }

void PanelModel::hub_lost() { next_pdm_.reset(); }

void PanelModel::show_line(int line, const std::string &text, ModelOutput &out) {
    std::string shown = text;
    shown.resize(DISPLAY_WIDTH, ' ');
    out.note(tools::strprintf("panel display %d \"%s\"", line, shown.c_str()));
    for (const CanFrame &f : display_segments(ID_PANEL_DISPLAY_LINE, line, shown)) out.frame(f);
}

void PanelModel::clear_display(ModelOutput &out) {
    out.note("panel display cleared");
    out.frame(unit_frame(ID_PANEL_CLEAR_DISPLAY, {1}));
}

void PanelModel::tick(TimePoint now, ModelOutput &out) {
    if (!next_pdm_ || now < *next_pdm_) return;
    out.frame(unit_frame(ID_PANEL_PDM_REQUEST, {}));
    // The next one on the one-second rhythm, even when this tick came late.
    *next_pdm_ += pdm_period_ * ((now - *next_pdm_) / pdm_period_ + 1);
}

}  // namespace unitsim

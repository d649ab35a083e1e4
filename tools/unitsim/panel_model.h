// The operator's display panel (node 3), when the simulated unit plays it
// too: it asks for its process data (0x103) every second, as a node on the
// bus does (the hub leaves that unanswered), and on demand sends text for one
// of its lines (0x20B, three segments) or clears its display (0x223). The
// hub relays those to the PC only when its `display` option is on. Pure.
#pragma once

#include <optional>
#include <string>

#include "unit_model.h"

namespace unitsim {

class PanelModel {
public:
    explicit PanelModel(Millis pdm_period = Millis(1000)) : pdm_period_(pdm_period) {}

    void hub_ready(TimePoint now);
    void hub_lost();
    // `line` 0 or 1; the text is cut or padded to 16 characters.
    void show_line(int line, const std::string &text, ModelOutput &out);
    void clear_display(ModelOutput &out);

    void tick(TimePoint now, ModelOutput &out);
    std::optional<TimePoint> next_deadline() const { return next_pdm_; }

private:
    Millis pdm_period_;
    std::optional<TimePoint> next_pdm_;
};

}  // namespace unitsim

#include "sm/display_sm.h"

#include <iterator>

#include "sm/node_sm.h"

NodeData Display_data;

namespace {

constexpr NodeTransition kDisplayTransitions[] = {
    {PRE_OP, SM_CMD_TO_DISABLE, DISABLE, "Display: PRE_OP -> DISABLE"},
    {PRE_OP, SM_CMD_TO_OP, OP, "Display: PRE_OP -> START"},
    {OP, SM_CMD_TO_DISABLE, DISABLE, "Display: OP -> DISABLE"},
    {OP, SM_CMD_TO_INIT, INIT, "Display: OP -> INIT"},
    {OP, SM_CMD_TO_PRE_OP, PRE_OP, "Display: OP -> PRE_OP"},
    {DISABLE, SM_CMD_TO_PRE_OP, PRE_OP, "Display: DISABLE -> PRE_OP"},
    {DISABLE, SM_CMD_TO_INIT, INIT, "Display: DISABLE -> INIT"},
    {DISABLE, SM_CMD_TO_OP, OP, "Display: DISABLE -> OP"},
};

const NodeMachine kDisplayMachine = {
    kDisplayTransitions, std::size(kDisplayTransitions), "Display: INIT -> PRE_OP",
    display_sm_wait_init, display_sm_pre_operating, display_sm_operating, display_sm_disable,
};

}  // namespace

void display_sm_init() { Display_data.state.store(INIT); }

int display_sm() { return node_sm_pass(Display_data, kDisplayMachine); }

int display_sm_wait_init() { return 0; }
void display_sm_pre_operating() {}
void display_sm_operating() {}
void display_sm_disable() {}

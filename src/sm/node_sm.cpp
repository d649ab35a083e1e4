#include "sm/node_sm.h"

#include "platform/trace.h"

int node_sm_pass(NodeData &node, const NodeMachine &m) {
    const uint16_t state = node.state.load();
    switch (state) {
    case INIT:
        if (m.wait_init() != 0) return 0;
        // A command already pending stays pending for the next pass.
        trace_line(m.init_trace);
        node.state.store(PRE_OP);
        return 1;
    case PRE_OP:
    case OP:
    case DISABLE:
        break;
    default:
        return 0;
    }
    uint8_t command = node.command.load();
    for (size_t i = 0; i < m.transitions; ++i) {
        const NodeTransition &t = m.table[i];
        if (t.from != state || t.command != command) continue;
        // Clear only the command this pass acts on: one stored meanwhile
        // stays pending for the next pass.
        if (!node.command.compare_exchange_strong(command, 0)) return 0;
        trace_line(t.trace);
        node.state.store(t.to);
        return 1;
    }
    // No transition: the command, if any, stays pending without effect.
    if (state == PRE_OP) m.pre_operating();
    else if (state == OP) m.operating();
    else m.disable();
    return 0;
}

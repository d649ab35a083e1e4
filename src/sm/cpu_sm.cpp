#include "sm/cpu_sm.h"

#include <iterator>

#include "sm/node_sm.h"

NodeData Cpu_data;

namespace {

// Bumped on every stored command; the main loop sleeps on it between passes.
std::atomic<uint32_t> CpuCommandSeq{0};

constexpr NodeTransition kCpuTransitions[] = {
    {PRE_OP, SM_CMD_TO_DISABLE, DISABLE, "CPU: PRE_OP -> DISABLE"},
    {PRE_OP, SM_CMD_TO_OP, OP, "CPU: PRE_OP -> OP"},
    {OP, SM_CMD_TO_DISABLE, DISABLE, "CPU: OP -> DISABLE"},
    {OP, SM_CMD_TO_INIT, INIT, "CPU: OP -> INIT"},
    {OP, SM_CMD_TO_PRE_OP, PRE_OP, "CPU: OP -> PRE_OP"},
    {DISABLE, SM_CMD_TO_PRE_OP, PRE_OP, "CPU: DISABLE -> PRE_OP"},
    {DISABLE, SM_CMD_TO_INIT, INIT, "CPU: DISABLE -> INIT"},
    {DISABLE, SM_CMD_TO_OP, OP, "CPU: DISABLE -> OP"},
};

const NodeMachine kCpuMachine = {
    kCpuTransitions, std::size(kCpuTransitions), "CPU: INIT -> PRE_OP",
    cpu_sm_wait_init, cpu_sm_pre_operating, cpu_sm_operating, cpu_sm_disable,
};

}  // namespace

void cpu_sm_init() { Cpu_data.state.store(INIT); }

int cpu_sm() { return node_sm_pass(Cpu_data, kCpuMachine); }

int cpu_sm_wait_init() { return 0; }
void cpu_sm_pre_operating() {}
void cpu_sm_operating() {}
void cpu_sm_disable() {}

void cpu_sm_store_command(uint8_t command) {
    Cpu_data.command.store(command);
    CpuCommandSeq.fetch_add(1);
    CpuCommandSeq.notify_one();
}

uint32_t cpu_sm_command_seq() { return CpuCommandSeq.load(); }

void cpu_sm_wait_command(uint32_t seen) { CpuCommandSeq.wait(seen); }

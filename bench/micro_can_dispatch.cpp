// The dispatch of one received CAN frame (canReciveMessage): an exam-parameter
// frame from the CPU node updates the PC record, seals and sends it (no PC
// connected: clientSocket = -1, so the send fails at once) and queues the
// acknowledge frame; the writer's pass onto /dev/null empties the ring again.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "can/can_frame.h"
#include "can/thread_can_read.h"
#include "can/thread_can_write.h"
#include "hub_cfg.h"
#include "pc/hub_to_pc.h"

namespace {

void BM_can_dispatch_exam_param(benchmark::State &state) {
    Hub_Config.verbose = cfg_false;
    Hub_Config.syslog = cfg_false;
    Hub_Config.display = cfg_false;
    sem_init(&TcpSem, 0, 1);
    can_tx_init();
    can_rx_init();
    clientSocket.store(-1);
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    CanFrame f{};
    f.id = 0x217;
    f.length = 8;
    for (uint8_t i = 0; i < 8; ++i) f.data[i] = static_cast<uint8_t>(i + 1);
    for (auto _ : state) {
        canReciveMessage(f);
        benchmark::DoNotOptimize(can_tx_pass(fd));
    }
    close(fd);
}
BENCHMARK(BM_can_dispatch_exam_param);

// A frame for no node the hub serves: the floor of the dispatch itself.
void BM_can_dispatch_other_node(benchmark::State &state) {
    Hub_Config.display = cfg_false;
    CanFrame f{};
    f.id = 0x215;
    f.length = 8;
    for (auto _ : state) {
        canReciveMessage(f);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_can_dispatch_other_node);

}  // namespace

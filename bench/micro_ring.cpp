// The CAN transmit ring: a producer's canSendMessage and the writer's pass
// that takes the frame off the ring and writes it, here onto /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "can/can_frame.h"
#include "can/thread_can_write.h"
#include "hub_cfg.h"

namespace {

void BM_can_ring_send_and_pass(benchmark::State &state) {
    Hub_Config.verbose = cfg_false;
    Hub_Config.syslog = cfg_false;
    can_tx_init();
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const CanFrame ack = can_frame_to_cpu({22, 2});
    for (auto _ : state) {
        canSendMessage(ack);
        benchmark::DoNotOptimize(can_tx_pass(fd));
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_can_ring_send_and_pass);

// The producer's side alone, a burst that fills the ring to its last free
// slot, then the writer empties it: the cost per frame with no write hand-off.
void BM_can_ring_burst_of_31(benchmark::State &state) {
    Hub_Config.verbose = cfg_false;
    Hub_Config.syslog = cfg_false;
    can_tx_init();
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const CanFrame ack = can_frame_to_cpu({22, 2});
    for (auto _ : state) {
        for (uint32_t i = 0; i < CAN_TX_SLOTS - 1; ++i) canSendMessage(ack);
        while (can_tx_pass(fd)) {
        }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations() * (CAN_TX_SLOTS - 1));
}
BENCHMARK(BM_can_ring_burst_of_31);

}  // namespace

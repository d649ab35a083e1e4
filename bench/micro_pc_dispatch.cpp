// The dispatch of one 20-byte PC record (tcp_server_recive_message), tracing
// off and no PC connected (clientSocket = -1).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "can/thread_can_write.h"
#include "hub_cfg.h"
#include "pc/hub_to_pc.h"
#include "pc/pc_dispatch.h"
#include "pc/pc_records.h"

namespace {

void setup() {
    Hub_Config.verbose = cfg_false;
    Hub_Config.syslog = cfg_false;
    Hub_Config.simulator = cfg_false;
    sem_init(&TcpSem, 0, 1);
    can_tx_init();
    clientSocket.store(-1);
    // Word8 as a test selection leaves it: records are taken for what they are.
    hub_to_pc_set16(hub_to_pc::Word8, 0x0708);
}

// PC_WATCHDOG with an unchanged status: the most frequent record.
void BM_pc_dispatch_watchdog(benchmark::State &state) {
    setup();
    uint8_t rec[PC_TO_HUB_SIZE];
    pc_to_hub_encode(PcToHub{PC_WATCHDOG, 0, 0, 0, 0, 0, 0, 0, 0}, rec);
    for (auto _ : state) benchmark::DoNotOptimize(tcp_server_recive_message(rec));
}
BENCHMARK(BM_pc_dispatch_watchdog);

// PC_CHANGE_KV_MA: decode, dispatch and the command frame queued on the
// transmit ring; the writer's pass (onto /dev/null) keeps the ring from
// filling and is part of the figure.
void BM_pc_dispatch_kv_ma(benchmark::State &state) {
    setup();
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    uint8_t rec[PC_TO_HUB_SIZE];
    pc_to_hub_encode(PcToHub{PC_CHANGE_KV_MA, 1, 0, 0, 70, 8, 0, 0, 0}, rec);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tcp_server_recive_message(rec));
        benchmark::DoNotOptimize(can_tx_pass(fd));
    }
    close(fd);
}
BENCHMARK(BM_pc_dispatch_kv_ma);

// PC_CHANGE_KV_MA while the CPU node has not sent a test selection: forced
// to a watchdog answer.
void BM_pc_dispatch_forced_watchdog(benchmark::State &state) {
    setup();
    hub_to_pc_set16(hub_to_pc::Word8, 6);
    uint8_t rec[PC_TO_HUB_SIZE];
    pc_to_hub_encode(PcToHub{PC_CHANGE_KV_MA, 0, 0, 0, 70, 8, 0, 0, 0}, rec);
    for (auto _ : state) benchmark::DoNotOptimize(tcp_server_recive_message(rec));
    hub_to_pc_set16(hub_to_pc::Word8, 0x0708);
}
BENCHMARK(BM_pc_dispatch_forced_watchdog);

}  // namespace

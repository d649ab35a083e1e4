// The hub-to-PC record's checksum: computed on every record the hub sends.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "pc/pc_records.h"

namespace {

void fill(uint8_t *rec) {
    for (size_t i = 0; i < HUB_TO_PC_SIZE; ++i) rec[i] = static_cast<uint8_t>(i * 37 + 11);
}

void BM_hub_to_pc_checksum(benchmark::State &state) {
    uint8_t rec[HUB_TO_PC_SIZE];
    fill(rec);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rec);
        benchmark::DoNotOptimize(hub_to_pc_checksum(rec));
    }
}
BENCHMARK(BM_hub_to_pc_checksum);

void BM_hub_to_pc_seal(benchmark::State &state) {
    uint8_t rec[HUB_TO_PC_SIZE];
    fill(rec);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rec);
        hub_to_pc_seal(rec);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_hub_to_pc_seal);

}  // namespace

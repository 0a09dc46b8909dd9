// CPU cost of the bus figures the cycle thread records once per cycle
// (BusRecorder::OnCycle: a clock read, counters, the period histogram and
// the DC phase mean and variance). No bus needed. Figures only.
#include <benchmark/benchmark.h>

#include "ethercat_manager/bus_recorder.h"

namespace {

void BM_OnCycle(benchmark::State& state) {
  ethercat_manager::BusRecorder recorder;
  ethercat_manager::EthercatConfig config;
  config.cycle_time_ns = 1000000;
  config.enable_dc = true;
  recorder.BeginBringUp(config);
  int64_t dc_time = 5000000000LL;
  for (auto _ : state) {
    dc_time += 1000000 + (dc_time & 0x3FF);
    recorder.OnCycle(3, 3, dc_time);
  }
  benchmark::DoNotOptimize(recorder.Snapshot().frames);
}
BENCHMARK(BM_OnCycle);

}  // namespace

BENCHMARK_MAIN();

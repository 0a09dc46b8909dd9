// Cost of one process-data cycle (send + receive) of the master core on the
// simulated DCU network, for 1..16 DCUs:
//   - in-process: frames go straight through SimNetwork::ProcessFrame;
//     wall time = round trip, CPU time = master + simulator;
//   - SimOnly: the simulator's share of the same frames, for comparison;
//   - over a veth pair (root only): a raw socket in this process, the
//     simulator in its own network namespace; wall time = round trip
//     through the kernel, CPU time = this process's share.
// Figures are printed; nothing is asserted.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ecmaster/context.h"
#include "ethercat.h"
#include "simulator/sim_network.h"
#include "tests/ecmaster/sim_transport.h"
#if ECMASTER_BENCH_WITH_BUS
#include "tests/support/sim_bus.h"
#endif

namespace {

constexpr int kDcuBytes = 240;
alignas(8) uint8_t g_iomap[16 * 3 * kDcuBytes + 64];

std::string DcuYaml(int n, const std::string& ifname) {
  std::string y =
      "ZorvikController:\n"
      "  ethercat:\n"
      "    ifname: " + ifname + "\n"
      "    enable_dc: true\n"
      "    bind_cpu: -1\n"
      "    rt_priority: -1\n"
      "    cycle_time_ns: 1000000\n"
      "  dcu_network:\n";
  for (int k = 1; k <= n; ++k) {
    y += "    - {name: dcu_" + std::to_string(k) + ", ecat_id: " + std::to_string(k) +
         ", enable: true, imu_enable: false}\n";
  }
  return y;
}

// Discovery, mapping, DC, SAFE_OP, OP. Returns false when any step fails.
bool BringUp(int n) {
  if (ec_config_init(FALSE) != n) return false;
  if (ec_config_map(g_iomap) != 2 * kDcuBytes * n) return false;
  ec_configdc();
  for (int k = 1; k <= n; ++k) ec_dcsync0(static_cast<uint16>(k), TRUE, 1000000, 0);
  if (ec_statecheck(0, EC_STATE_SAFE_OP, 2000000) != EC_STATE_SAFE_OP) return false;
  ec_send_processdata();
  ec_receive_processdata(EC_TIMEOUTRET);
  ec_slave[0].state = EC_STATE_OPERATIONAL;
  ec_writestate(0);
  for (int pass = 0; pass < 200; ++pass) {
    ec_send_processdata();
    ec_receive_processdata(EC_TIMEOUTRET);
    if (ec_statecheck(0, EC_STATE_OPERATIONAL, 50000) == EC_STATE_OPERATIONAL) return true;
  }
  return false;
}

void RunCycles(benchmark::State& state, int n) {
  int bad = 0;
  for (auto _ : state) {
    ec_send_processdata();
    const int wkc = ec_receive_processdata(EC_TIMEOUTRET);
    if (wkc != 3 * n) ++bad;
    benchmark::DoNotOptimize(wkc);
  }
  state.counters["frames_per_cycle"] = ec_group[0].nsegments;
  state.counters["bad_wkc_cycles"] = bad;
}

void BM_CycleInProcess(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string err;
  auto net = dcusim::SimNetwork::FromYaml(DcuYaml(n, "h2bench"), &err);
  if (!net) {
    state.SkipWithError(err.c_str());
    return;
  }
  ecmaster::OpenDefaultContext(std::make_unique<ecmaster_test::SimTransport>(net.get()));
  if (!BringUp(n)) {
    ec_close();
    state.SkipWithError("bring-up failed");
    return;
  }
  RunCycles(state, n);
  ec_close();
}
BENCHMARK(BM_CycleInProcess)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->UseRealTime();

// The simulator alone processing the frames of one cycle.
void BM_SimOnly(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string err;
  auto net = dcusim::SimNetwork::FromYaml(DcuYaml(n, "h2bench"), &err);
  if (!net) {
    state.SkipWithError(err.c_str());
    return;
  }
  // Capture one cycle's frames from the master through a recording layer.
  struct Recorder : ecmaster_test::SimTransport {
    using SimTransport::SimTransport;
    bool Send(const uint8_t* f, size_t len) override {
      if (recording) frames.emplace_back(f, f + len);
      return SimTransport::Send(f, len);
    }
    bool recording = false;
    std::vector<std::vector<uint8_t>> frames;
  };
  auto rec = std::make_unique<Recorder>(net.get());
  Recorder* r = rec.get();
  ecmaster::OpenDefaultContext(std::move(rec));
  if (!BringUp(n)) {
    ec_close();
    state.SkipWithError("bring-up failed");
    return;
  }
  r->recording = true;
  ec_send_processdata();
  ec_receive_processdata(EC_TIMEOUTRET);
  r->recording = false;
  std::vector<std::vector<uint8_t>> work = r->frames;
  for (auto _ : state) {
    for (size_t i = 0; i < work.size(); ++i) {
      std::memcpy(work[i].data(), r->frames[i].data(), work[i].size());
      benchmark::DoNotOptimize(
          net->ProcessFrame(work[i].data(), work[i].size(), ecmaster_test::SimTransport::NowNs()));
    }
  }
  ec_close();
}
BENCHMARK(BM_SimOnly)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16);

#if ECMASTER_BENCH_WITH_BUS
void BM_CycleOverVeth(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  if (geteuid() != 0) {
    state.SkipWithError("needs root");
    return;
  }
  simtest::SimBus bus(DcuYaml(n, "h2bench"));
  if (!bus.ok()) {
    state.SkipWithError(bus.error().c_str());
    return;
  }
  if (ec_init(bus.ifname().c_str()) <= 0) {
    state.SkipWithError("ec_init failed");
    return;
  }
  if (!BringUp(n)) {
    ec_close();
    state.SkipWithError("bring-up failed");
    return;
  }
  RunCycles(state, n);
  ec_close();
}
BENCHMARK(BM_CycleOverVeth)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->UseRealTime()
    ->MinTime(0.5);
#endif

}  // namespace

BENCHMARK_MAIN();

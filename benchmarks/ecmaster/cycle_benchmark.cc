// Cost of one process-data cycle (send + receive) of the master core on the
// simulated DCU network, for 1..16 DCUs:
//   - in-process: frames go straight through SimNetwork::ProcessFrame;
//     wall time = round trip, CPU time = master + simulator;
//   - SimOnly: the simulator's share of the same frames, for comparison;
//   - over a veth pair (root only): a raw socket in this process, the
//     simulator in its own network namespace; wall time = round trip
//     through the kernel, CPU time = this process's share;
//   - paced over a veth pair (root only): one send+receive every 1 ms at
//     SCHED_FIFO 80 (when the process may), 5,000 cycles, as the bus manager
//     cycles; the thread's CPU time per send+receive (mean, p99) and the
//     round trip (mean, p99) are printed as counters. The second argument 1
//     binds the master to CPU 1 and the simulator to CPU 0, which gives
//     steadier figures on a shared machine than letting them wander. The
//     third argument 1 cycles in the bus manager's order: take the reply
//     to the previous cycle's frame (there since long ago), then send.
// Figures are printed; nothing is asserted.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
// Opens the master on the simulator's veth pair and brings n DCUs to OP;
// false (the benchmark skipped with the reason) when any step fails.
bool OpenBus(benchmark::State& state, const simtest::SimBus& bus, int n) {
  if (!bus.ok()) {
    state.SkipWithError(bus.error().c_str());
    return false;
  }
  if (ec_init(bus.ifname().c_str()) <= 0) {
    state.SkipWithError("ec_init failed");
    return false;
  }
  if (!BringUp(n)) {
    ec_close();
    state.SkipWithError("bring-up failed");
    return false;
  }
  return true;
}

void BM_CycleOverVeth(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  if (geteuid() != 0) {
    state.SkipWithError("needs root");
    return;
  }
  simtest::SimBus bus(DcuYaml(n, "h2bench"));
  if (!OpenBus(state, bus, n)) return;
  RunCycles(state, n);
  ec_close();
}
BENCHMARK(BM_CycleOverVeth)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->UseRealTime()
    ->MinTime(0.5);

int64_t ClockNs(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double MeanUs(const std::vector<int64_t>& v) {
  if (v.empty()) return 0;
  double sum = 0;
  for (const int64_t x : v) sum += static_cast<double>(x);
  return sum / static_cast<double>(v.size()) / 1000.0;
}

// The q-th percentile (nearest rank).
double PercentileUs(std::vector<int64_t> v, size_t q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t rank = (v.size() * q + 99) / 100;
  return static_cast<double>(v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1]) / 1000.0;
}

// Runs the calling thread at SCHED_FIFO `priority` while it lives, when the
// process may; restores the previous policy afterwards.
class RealTimeScope {
 public:
  explicit RealTimeScope(int priority) {
    pthread_getschedparam(pthread_self(), &old_policy_, &old_param_);
    sched_param p{};
    p.sched_priority = priority;
    active_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
  }
  ~RealTimeScope() {
    if (active_) pthread_setschedparam(pthread_self(), old_policy_, &old_param_);
  }
  RealTimeScope(const RealTimeScope&) = delete;
  RealTimeScope& operator=(const RealTimeScope&) = delete;
  bool active() const { return active_; }

 private:
  int old_policy_ = SCHED_OTHER;
  sched_param old_param_{};
  bool active_ = false;
};

// One send+receive per 1 ms wake-up. Each iteration is one cycle; its CPU
// time (CLOCK_THREAD_CPUTIME_ID) and wall time around ec_send_processdata +
// ec_receive_processdata are kept in memory reserved beforehand and
// summarised at the end; send_cpu_us_mean is the send's share (the
// thread-clock read between the two, about 1 us here, counts in the total).
// The median (cpu_us_p50) is the steadiest figure on a shared machine.
void BM_PacedCycleOverVeth(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool pinned = state.range(1) != 0;
  const bool manager_order = state.range(2) != 0;
  constexpr int64_t kPeriodNs = 1000000;
  if (geteuid() != 0) {
    state.SkipWithError("needs root");
    return;
  }
  if (pinned && sysconf(_SC_NPROCESSORS_ONLN) < 2) {
    state.SkipWithError("needs two CPUs");
    return;
  }
  // The simulator is started with --cpu 0 and binds itself; what this thread
  // (and the helpers the fixture starts) run on is restored at the end.
  struct CpuScope {
    explicit CpuScope(bool pin) {
      sched_getaffinity(0, sizeof old, &old);
      if (!pin) return;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(1, &one);
      sched_setaffinity(0, sizeof one, &one);
    }
    ~CpuScope() { sched_setaffinity(0, sizeof old, &old); }
    cpu_set_t old;
  } cpus(pinned);
  simtest::SimBus bus(DcuYaml(n, "h2bench"), pinned ? "--cpu 0" : "");
  if (!OpenBus(state, bus, n)) return;
  const size_t cycles = static_cast<size_t>(state.max_iterations);
  std::vector<int64_t> cpu(cycles), send_cpu(cycles), wall(cycles);
  size_t count = 0;
  int bad = 0;
  RealTimeScope rt(80);
  int64_t next = ClockNs(CLOCK_MONOTONIC);
  if (manager_order) ec_send_processdata();
  for (auto _ : state) {
    next += kPeriodNs;
    timespec wake{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) != 0) {
    }
    const int64_t cpu0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t wall0 = ClockNs(CLOCK_MONOTONIC);
    int wkc;
    int64_t send_ns;
    if (manager_order) {
      wkc = ec_receive_processdata(EC_TIMEOUTRET);
      const int64_t cpu_received = ClockNs(CLOCK_THREAD_CPUTIME_ID);
      ec_send_processdata();
      send_ns = ClockNs(CLOCK_THREAD_CPUTIME_ID) - cpu_received;
    } else {
      ec_send_processdata();
      send_ns = ClockNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
      wkc = ec_receive_processdata(EC_TIMEOUTRET);
    }
    const int64_t wall1 = ClockNs(CLOCK_MONOTONIC);
    const int64_t cpu1 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    if (wkc != 3 * n) ++bad;
    if (count < cycles) {
      cpu[count] = cpu1 - cpu0;
      send_cpu[count] = send_ns;
      wall[count] = wall1 - wall0;
      ++count;
    }
  }
  cpu.resize(count);
  send_cpu.resize(count);
  wall.resize(count);
  state.counters["rt_fifo80"] = rt.active() ? 1 : 0;
  state.counters["cpu_us_mean"] = MeanUs(cpu);
  state.counters["cpu_us_p50"] = PercentileUs(cpu, 50);
  state.counters["cpu_us_p99"] = PercentileUs(cpu, 99);
  state.counters["send_cpu_us_mean"] = MeanUs(send_cpu);
  if (!manager_order) {
    state.counters["rtt_us_mean"] = MeanUs(wall);
    state.counters["rtt_us_p99"] = PercentileUs(wall, 99);
  }
  state.counters["bad_wkc_cycles"] = bad;
  ec_close();
}
BENCHMARK(BM_PacedCycleOverVeth)
    ->Args({3, 0, 0})
    ->Args({3, 1, 0})
    ->Args({3, 1, 1})
    ->Iterations(5000)
    ->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();

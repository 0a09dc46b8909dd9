// Cycle timing of the bus manager against the simulated DCU network.
//
// For 1, 4 and 8 boards at 1 ms, 500 us and 250 us it brings the bus up,
// lets the DC controller settle, then runs a fixed number of cycles and
// prints:
//   - the time from Start to OP (and until Start returned),
//   - the cycle period as the simulator saw the frames arrive (p50, p99,
//     p99.9, max) and its late and missing frames,
//   - the DC phase error the controller works on, (DC time - shift) mod cycle,
//     sampled every cycle: time to lock and, after lock, mean, std, p99.9 of
//     its magnitude; plus the simulator's view of the master phase against
//     the SYNC0 grid,
//   - the CPU time the cycle thread spends per cycle,
//   - the simulator's reply time and longest stall,
//   - side by side, the missing frames and the wake-ups later than 1 ms that
//     cyclictest (rt-tests) counts in the same minutes at the master's
//     priority: the machine's own share of the misses.
//
// Usage: manager_cycle_bench [--cycles N] [--rt-priority P] [--bind-cpu C]
//                            [--boards 1,4,8] [--cycle-us 1000,500,250]
//                            [--sim-args "extra dcu_sim arguments"] [--capture]
// --capture runs the programs' frame capture (SELFTEST_OUTPUT=pcap:) on the
// master's interface throughout, to compare the cycle with and without it.
// Needs root. Figures only; nothing is asserted.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ethercat.h"
#include "ethercat_manager/ethercat_manager.h"
#include "tests/support/sim_bus.h"
#include "tools/capture/frame_capture.h"

namespace {

using ethercat_manager::EthercatConfig;
using ethercat_manager::EthercatManager;
using ethercat_manager::NodeState;

int64_t NowNs(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A 240-byte node. The probe among them records, in its data hook (on the
// cycle thread, into memory reserved beforehand), the cycle thread's CPU
// clock and the DC phase error of every cycle.
class BenchNode : public ethercat_manager::EthercatNode {
 public:
  BenchNode(int id, bool probe, size_t capacity, int64_t cycle_ns)
      : EthercatNode(id), probe_(probe), cycle_ns_(cycle_ns), shift_ns_(cycle_ns / 2 - 20000) {
    if (probe_) {
      cpu_ns_.resize(capacity);
      phase_ns_.resize(capacity);
      wall_ns_.resize(capacity);
    }
  }

  uint8_t* GetSendBuf() override { return send_; }
  uint8_t* GetRecvBuf() override { return recv_; }

  void OnDataSyncHook() override {
    if (!probe_) return;
    const size_t i = count_.load(std::memory_order_relaxed);
    if (i >= cpu_ns_.size()) return;
    cpu_ns_[i] = NowNs(CLOCK_THREAD_CPUTIME_ID);
    wall_ns_[i] = NowNs(CLOCK_MONOTONIC);
    int64_t phase = (ec_DCtime - shift_ns_) % cycle_ns_;
    if (phase > cycle_ns_ / 2) phase -= cycle_ns_;
    if (phase <= -cycle_ns_ / 2) phase += cycle_ns_;
    phase_ns_[i] = phase;
    count_.store(i + 1, std::memory_order_release);
  }

  void OnStateChangeHook(NodeState state) override {
    if (state == ethercat_manager::OP && op_at_ns_ == 0) op_at_ns_ = NowNs(CLOCK_MONOTONIC);
  }

  size_t Count() const { return count_.load(std::memory_order_acquire); }

  const bool probe_;
  const int64_t cycle_ns_;
  const int64_t shift_ns_;
  std::vector<int64_t> cpu_ns_;
  std::vector<int64_t> phase_ns_;
  std::vector<int64_t> wall_ns_;
  std::atomic<size_t> count_{0};
  int64_t op_at_ns_ = 0;  // written on the thread that calls Start

 private:
  uint8_t send_[240] = {};
  uint8_t recv_[240] = {};
};

// Silences the manager's bring-up and shutdown messages (standard output goes
// to /dev/null while it lives); anything it prints while cycling stays visible.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

std::map<std::string, std::string> ParseStats(const std::string& text) {
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

double Us(double ns) { return ns / 1000.0; }

int64_t Percentile(std::vector<int64_t> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  if (i > 0) --i;
  return v[std::min(i, v.size() - 1)];
}

std::vector<int> ParseList(const char* text) {
  std::vector<int> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::atoi(item.c_str()));
  return out;
}

// cyclictest run beside the measured cycles: one thread at the master's
// priority waking every 1 ms, its latency histogram in 1 us bins to 2 ms.
class Cyclictest {
 public:
  Cyclictest(long loops, int priority) : out_path_("/tmp/manager_cycle_bench_" + std::to_string(getpid()) + ".ct") {
    const std::string l = std::to_string(loops);
    const std::string p = std::to_string(std::max(priority, 0));
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) _exit(126);
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      execlp("cyclictest", "cyclictest", "-m", "-q", "-p", p.c_str(), "-i", "1000", "-l", l.c_str(), "-h", "2000",
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Cyclictest() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
  }
  Cyclictest(const Cyclictest&) = delete;
  Cyclictest& operator=(const Cyclictest&) = delete;

  // Waits for the end of the run; wake-ups later than 1 ms (-1 when
  // cyclictest did not run), later than half a millisecond, and the number
  // of wake-ups.
  long LateCount(long* half_late, long* total) {
    *total = 0;
    *half_late = 0;
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    std::ifstream in(out_path_);
    long late = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("# Total:", 0) == 0) *total = std::atol(line.c_str() + 8);
      if (line.rfind("# Histogram Overflows:", 0) == 0) {
        late += std::atol(line.c_str() + 22);
        *half_late += std::atol(line.c_str() + 22);
      }
      if (line.empty() || line[0] == '#') continue;
      long bin = 0, count = 0;
      if (std::sscanf(line.c_str(), "%ld %ld", &bin, &count) != 2) continue;
      if (bin >= 1000) late += count;
      if (bin >= 500) *half_late += count;
    }
    return late;
  }

 private:
  std::string out_path_;
  pid_t pid_ = -1;
};

struct Options {
  long cycles = 5000;
  int rt_priority = -1;
  int bind_cpu = -1;
  std::vector<int> boards = {1, 4, 8};
  std::vector<int> cycle_us = {1000, 500, 250};
  std::string sim_args;  // extra dcu_sim arguments, e.g. "--rt-priority 70 --cpu 1"
  bool capture = false;  // the frame capture runs beside the master
};

void RunOne(const Options& opt, int boards, int64_t cycle_ns) {
  std::printf("\n=== %d board%s, cycle %lld us, rt_priority %d, bind_cpu %d ===\n", boards, boards == 1 ? "" : "s",
              static_cast<long long>(cycle_ns / 1000), opt.rt_priority, opt.bind_cpu);
  std::fflush(stdout);

  std::vector<simtest::ActuatorEntry> none;
  simtest::SimBus bus(simtest::MakeConfig(boards, "eth0", true, static_cast<uint64_t>(cycle_ns), none, ""),
                      opt.sim_args);
  if (!bus.ok()) {
    std::printf("simulated bus failed: %s\n", bus.error().c_str());
    return;
  }

  // Warm-up of two seconds of cycles plus the measured cycles, with room to spare.
  const long warmup = static_cast<long>(2000000000LL / cycle_ns);
  const size_t capacity = static_cast<size_t>(warmup + opt.cycles) * 2 + 1000;
  std::vector<std::unique_ptr<BenchNode>> nodes;
  EthercatManager manager;
  for (int p = 1; p <= boards; ++p) {
    nodes.push_back(std::make_unique<BenchNode>(p, p == 1, capacity, cycle_ns));
    manager.RegisterNode(nodes.back().get());
  }
  BenchNode& probe = *nodes.front();

  EthercatConfig config;
  config.ifname = bus.ifname();
  config.cycle_time_ns = static_cast<uint64_t>(cycle_ns);
  config.enable_dc = true;
  config.rt_priority = opt.rt_priority;
  config.bind_cpu = opt.bind_cpu;

  capture::FrameCapture frames;
  if (opt.capture) {
    std::string error;
    if (!frames.Start(bus.ifname(), &error)) std::printf("capture failed: %s\n", error.c_str());
  }

  int64_t t0 = 0;
  int64_t t_returned = 0;
  bool started = false;
  {
    QuietStdout quiet;
    t0 = NowNs(CLOCK_MONOTONIC);
    started = manager.Start(config);
    t_returned = NowNs(CLOCK_MONOTONIC);
  }
  if (!started) {
    std::printf("start failed\n");
    return;
  }

  // Let the DC controller settle, then measure a fixed number of cycles.
  while (probe.Count() < static_cast<size_t>(warmup)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  bus.Control("stats reset");
  Cyclictest cyclictest(opt.cycles * cycle_ns / 1000000, opt.rt_priority);
  const size_t first = probe.Count();
  while (probe.Count() < first + static_cast<size_t>(opt.cycles)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto stats = ParseStats(bus.Control("stats"));
  const size_t last = probe.Count();

  {
    QuietStdout quiet;
    manager.Stop();
  }
  if (frames.running()) {
    frames.Stop();
    const capture::CaptureCounts c = frames.counts();
    std::printf("capture:            %llu frames seen, %llu kept, %llu left out, %llu dropped by the kernel\n",
                static_cast<unsigned long long>(c.seen), static_cast<unsigned long long>(c.kept),
                static_cast<unsigned long long>(c.left_out), static_cast<unsigned long long>(c.kernel_dropped));
  }

  const auto get = [&](const char* key) {
    auto it = stats.find(key);
    return it == stats.end() ? 0.0 : std::atof(it->second.c_str());
  };

  std::printf("start to OP:        %.1f ms (Start returned after %.1f ms)\n", (probe.op_at_ns_ - t0) / 1e6,
              (t_returned - t0) / 1e6);
  // The simulator times every process-data frame; from 4 boards on a cycle
  // sends more than one, so its figures then mix the gaps inside a cycle
  // with those between cycles. The master's own view: the time between two
  // data hooks of the probe, i.e. between two receives.
  std::vector<int64_t> period;
  for (size_t i = first + 1; i < last; ++i) period.push_back(probe.wall_ns_[i] - probe.wall_ns_[i - 1]);
  std::printf("period (master):    p50 %.1f  p99 %.1f  p99.9 %.1f  max %.1f us  (%zu periods)\n",
              Us(static_cast<double>(Percentile(period, 0.5))), Us(static_cast<double>(Percentile(period, 0.99))),
              Us(static_cast<double>(Percentile(period, 0.999))),
              Us(static_cast<double>(*std::max_element(period.begin(), period.end()))), period.size());
  std::printf("period (simulator): p50 %.1f  p99 %.1f  p99.9 %.1f  max %.1f us  (%.0f frame gaps)\n",
              Us(get("period_p50")), Us(get("period_p99")), Us(get("period_p999")), Us(get("period_max")),
              get("period_count"));
  std::printf("frames:             late %.0f  missing %.0f  lost %.0f  (late = period > 1.25 cycles)\n",
              get("late"), get("missing"), get("frames_lost"));

  // Lock: the first cycle from which the median phase error of the next 100
  // cycles lies within 2 % of the cycle. The error figures cover the
  // measured cycles (after the warm-up), outliers included.
  const int64_t lock_band = cycle_ns / 50;
  const size_t window = 100;
  size_t lock = last;
  for (size_t i = 0; i + window <= last; ++i) {
    std::vector<int64_t> w(probe.phase_ns_.begin() + static_cast<long>(i),
                           probe.phase_ns_.begin() + static_cast<long>(i + window));
    for (auto& e : w) e = std::llabs(e);
    if (Percentile(w, 0.5) <= lock_band) {
      lock = i;
      break;
    }
  }
  if (lock >= last) {
    std::printf("DC lock:            not reached (median error never within +-%.1f us)\n",
                Us(static_cast<double>(lock_band)));
  } else {
    std::printf("DC lock:            after %zu cycles (%.1f ms), band +-%.1f us\n", lock,
                lock * static_cast<double>(cycle_ns) / 1e6, Us(static_cast<double>(lock_band)));
  }
  {
    std::vector<int64_t> mag;
    double sum = 0, sum_sq = 0;
    for (size_t i = first; i < last; ++i) {
      const double e = static_cast<double>(probe.phase_ns_[i]);
      sum += e;
      sum_sq += e * e;
      mag.push_back(std::llabs(probe.phase_ns_[i]));
    }
    const double n = static_cast<double>(mag.size());
    const double mean = sum / n;
    const double std_dev = std::sqrt(std::max(0.0, sum_sq / n - mean * mean));
    std::printf("DC phase error:     mean %.2f  std %.2f  |p99.9| %.2f  |max| %.2f us  (master view)\n", Us(mean),
                Us(std_dev), Us(static_cast<double>(Percentile(mag, 0.999))),
                Us(static_cast<double>(*std::max_element(mag.begin(), mag.end()))));
  }
  if (get("dc") > 0) {
    std::printf("master vs SYNC0:    mean %.1f  std %.2f  p0.1 %.1f  p99.9 %.1f us  (simulator view)\n",
                Us(get("dc_phase_mean")), Us(get("dc_phase_std")), Us(get("dc_phase_p001")),
                Us(get("dc_phase_p999")));
  }

  std::vector<int64_t> cpu;
  for (size_t i = first + 1; i < last; ++i) cpu.push_back(probe.cpu_ns_[i] - probe.cpu_ns_[i - 1]);
  double cpu_sum = 0;
  for (int64_t c : cpu) cpu_sum += static_cast<double>(c);
  if (!cpu.empty()) {
    std::printf("CPU per cycle:      mean %.1f  p50 %.1f  p99 %.1f  max %.1f us  (%.1f %% of the cycle)\n",
                Us(cpu_sum / static_cast<double>(cpu.size())), Us(static_cast<double>(Percentile(cpu, 0.5))),
                Us(static_cast<double>(Percentile(cpu, 0.99))),
                Us(static_cast<double>(*std::max_element(cpu.begin(), cpu.end()))),
                100.0 * cpu_sum / static_cast<double>(cpu.size()) / static_cast<double>(cycle_ns));
  }
  std::printf("simulator:          reply mean %.1f  p99 %.1f  max %.1f us, longest stall %.1f us\n",
              Us(get("reply_mean")), Us(get("reply_p99")), Us(get("reply_max")), Us(get("sim_stall_max")));
  long wakeups = 0;
  long half_late = 0;
  const long late_wakeups = cyclictest.LateCount(&half_late, &wakeups);
  if (late_wakeups < 0) {
    std::printf("missing vs machine: missing %.0f, cyclictest did not run\n", get("missing"));
  } else {
    // A cycle counts as missing from 1.5 cycles between two frames on, so
    // the wake-ups later than half a millisecond are shown as well.
    std::printf("missing vs machine: missing %.0f  cyclictest wake-ups later than 1 ms %ld, 0.5 ms %ld (of %ld)\n",
                get("missing"), late_wakeups, half_late, wakeups);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--cycles" && has_value) opt.cycles = std::atol(argv[++i]);
    else if (a == "--rt-priority" && has_value) opt.rt_priority = std::atoi(argv[++i]);
    else if (a == "--bind-cpu" && has_value) opt.bind_cpu = std::atoi(argv[++i]);
    else if (a == "--boards" && has_value) opt.boards = ParseList(argv[++i]);
    else if (a == "--cycle-us" && has_value) opt.cycle_us = ParseList(argv[++i]);
    else if (a == "--sim-args" && has_value) opt.sim_args = argv[++i];
    else if (a == "--capture") opt.capture = true;
    else {
      std::fprintf(stderr,
                   "usage: %s [--cycles N] [--rt-priority P] [--bind-cpu C] [--boards 1,4,8] "
                   "[--cycle-us 1000,500,250] [--sim-args \"dcu_sim arguments\"] [--capture]\n",
                   argv[0]);
      return 2;
    }
  }
  std::string why;
  if (!simtest::SimBus::Available(&why)) {
    std::printf("manager_cycle_bench: skipped: %s\n", why.c_str());
    return 0;
  }
  std::printf("manager_cycle_bench: %ld measured cycles per run after 2 s of warm-up\n", opt.cycles);
  for (int cycle_us : opt.cycle_us) {
    for (int boards : opt.boards) RunOne(opt, boards, static_cast<int64_t>(cycle_us) * 1000);
  }
  return 0;
}

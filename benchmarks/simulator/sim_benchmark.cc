// Processing time of the simulated network, in process, for 1..16 DCUs with
// four actuators each (one cycle = every process-data frame a master sends,
// the first carrying the DC datagram), and the reply latency of dcu_sim over
// a veth pair (needs root).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "simulator/sim_network.h"
#include "tests/support/sim_bus.h"

namespace {

std::string Config(int dcus) {
  std::vector<simtest::ActuatorEntry> acts;
  for (int d = 1; d <= dcus; ++d) {
    for (int id = 1; id <= 4; ++id) {
      acts.push_back({d, 1 + (id - 1) % 3, "j" + std::to_string(d) + "_" + std::to_string(id),
                      id == 4 ? "CLAVIX" : "KINETRA_A50", id});
    }
  }
  return simtest::MakeConfig(dcus, "eth0", true, 1000000, acts);
}

void Put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
  f[at] = uint8_t(v);
  f[at + 1] = uint8_t(v >> 8);
}

// One frame with the given datagrams (cmd, adp, ado, length).
std::vector<uint8_t> Frame(const std::vector<std::tuple<uint8_t, uint16_t, uint16_t, std::vector<uint8_t>>>& dgs) {
  std::vector<uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 1, 1, 1, 1, 1, 0x88, 0xA4, 0, 0};
  for (size_t i = 0; i < dgs.size(); ++i) {
    const auto& [cmd, adp, ado, data] = dgs[i];
    size_t at = f.size();
    f.resize(at + 10);
    f[at] = cmd;
    Put16(f, at + 2, adp);
    Put16(f, at + 4, ado);
    Put16(f, at + 6, uint16_t(data.size() | (i + 1 < dgs.size() ? 0x8000 : 0)));
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(0);
    f.push_back(0);
  }
  Put16(f, 14, uint16_t(0x1000 | (f.size() - 16)));
  return f;
}

// Brings n DCUs to OP through frames, as a master would.
void BringUp(dcusim::SimNetwork& sim, int n, uint64_t* now) {
  auto run = [&](std::vector<uint8_t> f) { sim.ProcessFrame(f.data(), f.size(), *now += 1000); };
  auto u16 = [](uint16_t v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8)}; };
  for (int k = 1; k <= n; ++k) run(Frame({{0x02, uint16_t(1 - k), 0x0010, u16(uint16_t(0x1000 + k))}}));
  for (int k = 1; k <= n; ++k) {
    const uint16_t st = uint16_t(0x1000 + k);
    run(Frame({{0x05, st, 0x0120, u16(0x12)}}));
    run(Frame({{0x05, st, 0x0800, {0x00, 0x10, 240, 0, 0x64, 0, 1, 0}}}));
    run(Frame({{0x05, st, 0x0808, {0x00, 0x14, 240, 0, 0x20, 0, 1, 0}}}));
    const uint32_t lo = 240u * uint32_t(k - 1), li = 240u * uint32_t(n + k - 1);
    run(Frame({{0x05, st, 0x0600, {uint8_t(lo), uint8_t(lo >> 8), 0, 0, 240, 0, 0, 7, 0, 0x10, 0, 2, 1, 0, 0, 0}}}));
    run(Frame({{0x05, st, 0x0610, {uint8_t(li), uint8_t(li >> 8), 0, 0, 240, 0, 0, 7, 0, 0x14, 0, 1, 1, 0, 0, 0}}}));
    run(Frame({{0x05, st, 0x0120, u16(0x04)}}));
    run(Frame({{0x05, st, 0x0120, u16(0x08)}}));
  }
}

// The frames of one cycle: 480 bytes per DCU, at most three DCUs per frame.
std::vector<std::vector<uint8_t>> CycleFrames(int n) {
  std::vector<std::vector<uint8_t>> frames;
  const size_t total = 480u * size_t(n);
  for (size_t off = 0; off < total; off += 1440) {
    const size_t len = std::min<size_t>(1440, total - off);
    std::vector<std::tuple<uint8_t, uint16_t, uint16_t, std::vector<uint8_t>>> dgs;
    dgs.emplace_back(0x0C, uint16_t(off), uint16_t(off >> 16), std::vector<uint8_t>(len, 0));
    if (off == 0) dgs.emplace_back(0x0E, 0x1001, 0x0910, std::vector<uint8_t>(8, 0));
    frames.push_back(Frame(dgs));
  }
  return frames;
}

void BM_ProcessCycle(benchmark::State& state) {
  const int n = int(state.range(0));
  std::string err;
  auto sim = dcusim::SimNetwork::FromYaml(Config(n), &err);
  if (!sim) {
    state.SkipWithError(err.c_str());
    return;
  }
  uint64_t now = 1000000000;
  BringUp(*sim, n, &now);
  const auto frames = CycleFrames(n);
  std::vector<std::vector<uint8_t>> work = frames;
  for (auto _ : state) {
    now += 1000000;
    for (size_t i = 0; i < work.size(); ++i) {
      work[i] = frames[i];
      benchmark::DoNotOptimize(sim->ProcessFrame(work[i].data(), work[i].size(), now));
    }
  }
  state.counters["frames_per_cycle"] = double(frames.size());
  state.counters["ns_per_board"] =
      benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames.size()));
}
BENCHMARK(BM_ProcessCycle)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16);

void BM_ProcessRegisterRead(benchmark::State& state) {
  auto sim = dcusim::SimNetwork::FromYaml(Config(int(state.range(0))), nullptr);
  const auto frame = Frame({{0x07, 0, 0x0130, std::vector<uint8_t>(2, 0)}});
  uint64_t now = 1000000000;
  for (auto _ : state) {
    auto f = frame;
    benchmark::DoNotOptimize(sim->ProcessFrame(f.data(), f.size(), now += 1000));
  }
}
BENCHMARK(BM_ProcessRegisterRead)->Arg(1)->Arg(16);

// Round trip master -> dcu_sim -> master through a veth pair.
void BM_ReplyLatencyOverVeth(benchmark::State& state) {
  std::string why;
  if (!simtest::SimBus::Available(&why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  const int n = int(state.range(0));
  simtest::SimBus bus(Config(n));
  if (!bus.ok()) {
    state.SkipWithError(bus.error().c_str());
    return;
  }
  int fd = socket(AF_PACKET, SOCK_RAW, htons(0x88A4));
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(0x88A4);
  sll.sll_ifindex = int(if_nametoindex(bus.ifname().c_str()));
  bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll);
  const auto frames = CycleFrames(std::min(n, 3));
  std::vector<uint8_t> buf(2048);
  int64_t lost = 0;
  uint8_t index = 0;
  for (auto _ : state) {
    auto f = frames[0];
    f[17] = ++index;
    send(fd, f.data(), f.size(), 0);
    bool got = false;
    while (!got) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) break;
      ssize_t r = recv(fd, buf.data(), buf.size(), 0);
      got = r > 17 && (buf[6] & 0x02) && buf[17] == index;
    }
    lost += got ? 0 : 1;
  }
  close(fd);
  state.counters["lost"] = double(lost);
  const std::string stats = bus.Control("stats");
  auto figure = [&](const std::string& key) {
    const size_t at = stats.find("\n" + key + "=");
    return at == std::string::npos ? 0.0 : std::atof(stats.c_str() + at + key.size() + 2);
  };
  state.counters["sim_reply_mean_us"] = figure("reply_mean") / 1e3;
  state.counters["sim_reply_p99_us"] = figure("reply_p99") / 1e3;
}
BENCHMARK(BM_ReplyLatencyOverVeth)->Arg(1)->Arg(3)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

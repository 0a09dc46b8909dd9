// Distributed clocks: receive-time latches, offsets and delays as a master
// computes them, system-time reads and writes, drift control, SYNC0 and the
// phase statistics.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

constexpr uint64_t kMasterTime = 3350000000000000000ull;
constexpr int64_t kHop = 800;  // default forwarding delay

std::map<std::string, long long> Stats(Net& net) {
  std::map<std::string, long long> m;
  std::istringstream in(net.sim().StatsText());
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = std::atoll(line.c_str() + eq + 1);
  }
  return m;
}

// What a master does to set up the clocks of a line of n boards; returns
// the propagation delays it computed.
std::vector<int64_t> ConfigureClocks(Net& net, int n) {
  net.Write(BWR, 0, 0x0900, U32(0));
  std::vector<int64_t> rt_a(n + 1), rt_b(n + 1), delay(n + 1, 0);
  for (int k = 1; k <= n; ++k) {
    rt_a[k] = int32_t(GetU32(net.ReadReg(k, 0x0900, 4)));
    const uint64_t t918 = GetU64(net.ReadReg(k, 0x0918, 8));
    EXPECT_EQ(uint32_t(t918), uint32_t(rt_a[k]));
    net.Write(FPWR, Station(k), 0x0920, U64(kMasterTime - t918));
    rt_b[k] = int32_t(GetU32(net.ReadReg(k, 0x0904, 4)));
    if (k < n) {
      EXPECT_GT(int32_t(rt_b[k] - rt_a[k]), 0) << "port 1 must latch after port 0";
    }
    if (k > 1) {
      const int64_t dt3 = int32_t(rt_b[k - 1] - rt_a[k - 1]);
      const int64_t dt1 = k < n ? int32_t(rt_b[k] - rt_a[k]) : 0;
      delay[k] = (dt3 - dt1) / 2 + delay[k - 1];
      net.Write(FPWR, Station(k), 0x0928, U32(uint32_t(delay[k])));
    }
  }
  return delay;
}

std::vector<uint64_t> ReadAllSystemTimes(Net& net, int n) {
  std::vector<Dg> dgs;
  for (int k = 1; k <= n; ++k) dgs.push_back(Read(FPRD, Station(k), 0x0910, 8));
  auto r = net.Send(dgs);
  std::vector<uint64_t> out;
  for (auto& d : r) out.push_back(GetU64(d.data));
  return out;
}

TEST(Dc, LatchesGivePropagationDelaysAndClocksAgreeAfterConfiguration) {
  Net net(Dcus(3));
  net.Configure(3);
  EXPECT_EQ(GetU16(net.ReadReg(1, 0x0008, 2)) & 0x0004, 0x0004);
  EXPECT_EQ(GetU16(net.ReadReg(1, 0x0110, 2)), 0x5A33);
  EXPECT_EQ(GetU16(net.ReadReg(3, 0x0110, 2)), 0x5613);
  auto delay = ConfigureClocks(net, 3);
  EXPECT_EQ(delay[2], kHop);
  EXPECT_EQ(delay[3], 2 * kHop);
  EXPECT_EQ(GetU32(net.ReadReg(3, 0x0904, 4)), 0u);  // last board: port 1 closed

  net.Advance(5000000);
  auto s = ReadAllSystemTimes(net, 3);
  // System time runs from the master time of the configuration.
  EXPECT_GT(s[0], kMasterTime);
  EXPECT_LT(s[0], kMasterTime + 1000000000ull);
  // One frame reads each board as it passes: later by one hop per board.
  for (int k = 1; k < 3; ++k) EXPECT_NEAR(double(int64_t(s[k] - s[0])), double(k * kHop), 2.0);

  // Writing 0x0910 (4 bytes of 0 at discovery) never sets the clock.
  net.Write(BWR, 0, 0x0910, U32(0));
  auto after = ReadAllSystemTimes(net, 3);
  EXPECT_GT(after[0], s[0]);
  EXPECT_LT(after[0] - s[0], 1000000u);
  EXPECT_GT(after[2], kMasterTime);
}

TEST(Dc, FrmwCarriesTheReferenceTimeAndDriftingBoardsFollowIt) {
  Net net(Dcus(3, "", "  boards:\n    - {position: 2, drift_ppm: 100}\n    - {position: 3, drift_ppm: -60}\n"));
  net.BringUp(3);
  ConfigureClocks(net, 3);
  // Left alone, the drifting clocks run apart (100 ppm: 100 µs per second).
  net.Advance(1000000000);
  auto apart = ReadAllSystemTimes(net, 3);
  EXPECT_NEAR(double(int64_t(apart[1] - apart[0])), kHop + 100000.0, 2000.0);
  uint64_t last = 0;
  for (int i = 0; i < 2000; ++i) {
    net.Advance(1000000);
    auto r = net.Send({Logical(LRW, 0, std::vector<uint8_t>(1440, 0)), Make(FRMW, Station(1), 0x0910, U64(0))});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].wkc, 9);
    EXPECT_EQ(r[1].wkc, 3);
    const uint64_t dc = GetU64(r[1].data);
    if (last) {
      EXPECT_NEAR(double(dc - last), 1001000.0, 2000.0);  // one cycle plus the Send step
    }
    last = dc;
  }
  auto s = ReadAllSystemTimes(net, 3);
  EXPECT_NEAR(double(int64_t(s[1] - s[0])), double(kHop), 50.0);
  EXPECT_NEAR(double(int64_t(s[2] - s[0])), double(2 * kHop), 50.0);
  const uint32_t diff = GetU32(net.ReadReg(2, 0x092C, 4));
  EXPECT_LT(diff & 0x7FFFFFFF, 200u);

  // The control loop has learned the rate: the clocks stay together for a
  // while without writes.
  net.Advance(1000000000);
  auto later = ReadAllSystemTimes(net, 3);
  EXPECT_NEAR(double(int64_t(later[1] - later[0])), double(kHop), 2000.0);
}

TEST(Dc, Sync0StartCycleAndStartInThePast) {
  Net net(Dcus(1));
  net.Configure(1);
  ConfigureClocks(net, 1);
  const uint32_t cycle = 1000000;
  net.Write(FPWR, Station(1), 0x0981, {0});
  const uint64_t t1 = GetU64(net.ReadReg(1, 0x0910, 8));
  const uint64_t start = (t1 + 100000000) / cycle * cycle + cycle;
  net.Write(FPWR, Station(1), 0x0990, U64(start));
  net.Write(FPWR, Station(1), 0x09A0, U32(cycle));
  net.Write(FPWR, Station(1), 0x0981, {0x03});
  EXPECT_EQ(net.ReadReg(1, 0x0984, 1)[0] & 1, 1);
  EXPECT_EQ(GetU64(net.ReadReg(1, 0x0990, 8)), start);  // next pulse before the start
  net.Advance(150000000);
  const uint64_t next = GetU64(net.ReadReg(1, 0x0990, 8));
  const uint64_t now = GetU64(net.ReadReg(1, 0x0910, 8));
  EXPECT_GT(next, now);
  EXPECT_LE(next - now, cycle);
  EXPECT_EQ((next - start) % cycle, 0u);
  dcusim::BoardStatus b;
  ASSERT_TRUE(net.sim().GetBoard(1, &b, net.now()));
  EXPECT_TRUE(b.sync0_active);

  // A start time already passed never fires.
  net.Write(FPWR, Station(1), 0x0981, {0});
  net.Write(FPWR, Station(1), 0x0990, U64(now - 1000));
  net.Write(FPWR, Station(1), 0x0981, {0x03});
  ASSERT_TRUE(net.sim().GetBoard(1, &b, net.now()));
  EXPECT_FALSE(b.sync0_active);
  EXPECT_TRUE(b.sync0_start_missed);
}

TEST(Dc, PhaseAndPeriodStatistics) {
  Net net(Dcus(1));
  net.BringUp(1);
  ConfigureClocks(net, 1);
  const uint32_t cycle = 1000000;
  const uint64_t t1 = GetU64(net.ReadReg(1, 0x0910, 8));
  const uint64_t start = (t1 + 100000000) / cycle * cycle + cycle;
  net.Write(FPWR, Station(1), 0x0990, U64(start));
  net.Write(FPWR, Station(1), 0x09A0, U32(cycle));
  net.Write(FPWR, Station(1), 0x0981, {0x03});
  net.sim().ResetStats();
  // Frames arriving 480 µs after each SYNC0 pulse, one cycle missing.
  const int64_t offset = int64_t(net.sim().SystemTime(1, net.now()) - net.now());
  const uint64_t first = start + 10 * cycle + 480000 - uint64_t(offset);
  std::vector<uint8_t> out(240, 0);
  for (int i = 0; i < 100; ++i) {
    if (i == 50) continue;
    const uint64_t at = first + uint64_t(i) * cycle - 1000000;  // Exchange adds 1 ms
    net.Advance(at - net.now());
    net.Exchange(1, out);
  }
  auto st = Stats(net);
  EXPECT_EQ(st["pd_frames"], 99);
  EXPECT_EQ(st["dc"], 1);
  EXPECT_NEAR(double(st["dc_phase_mean"]), 480000.0, 10.0);
  EXPECT_LT(st["dc_phase_std"], 10);
  EXPECT_NEAR(double(st["period_p50"]), 1000000.0, 10000.0);
  EXPECT_EQ(st["missing"], 1);
  EXPECT_EQ(st["late"], 1);
  EXPECT_NEAR(double(st["period_max"]), 2000000.0, 1.0);
}

}  // namespace
}  // namespace simtest

// The simulator's own stalls, as the serving program reports them, show in
// `stats` next to the master's figures and are cleared with them.
#include <gtest/gtest.h>

#include <string>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

long long StatValue(const std::string& text, const std::string& key) {
  const size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + key.size() + 2));
}

TEST(SimPassGapTest, StatsReportTheLongestGapAndResetClearsIt) {
  Net net(Dcus(2));
  net.BringUp(2);
  std::string st = net.sim().Command("stats", net.now());
  EXPECT_EQ(StatValue(st, "sim_stall_max"), 0) << st;
  net.sim().RecordPassGap(4000000);
  net.sim().RecordPassGap(114000000);
  net.sim().RecordPassGap(5000000);
  st = net.sim().Command("stats", net.now());
  EXPECT_EQ(StatValue(st, "sim_stall_max"), 114000000) << st;
  // The last line of the reply, after the reply figures.
  EXPECT_EQ(st.substr(st.rfind('\n') + 1), "sim_stall_max=114000000");
  EXPECT_EQ(net.sim().Command("stats reset", net.now()), "ok stats reset");
  st = net.sim().Command("stats", net.now());
  EXPECT_EQ(StatValue(st, "sim_stall_max"), 0) << st;
  EXPECT_EQ(StatValue(st, "frames"), 0) << st;
  // The processing passes are not counted as frames or missing cycles.
  net.sim().RecordPassGap(7000000);
  net.Exchange(2, std::vector<uint8_t>(480, 0));
  st = net.sim().Command("stats", net.now());
  EXPECT_EQ(StatValue(st, "sim_stall_max"), 7000000);
  EXPECT_EQ(StatValue(st, "pd_frames"), 1);
  EXPECT_EQ(StatValue(st, "missing"), 0);
}

// A board judged at the arrival times it is given: frames processed late but
// stamped 20 ms apart keep it in OP, a stamp 150 ms after the last trips it.
TEST(SimPassGapTest, WatchdogFollowsTheArrivalTimesNotTheProcessing) {
  Net net(Dcus(1));
  net.BringUp(1);
  for (int i = 0; i < 20; ++i) net.Exchange(1, std::vector<uint8_t>(240, 0), 20000000);
  EXPECT_EQ(net.AlStatus(1), 0x0008);
  net.Exchange(1, std::vector<uint8_t>(240, 0), 150000000);
  EXPECT_EQ(net.AlStatus(1), 0x0014);
  EXPECT_EQ(net.AlCode(1), 0x001B);
}

}  // namespace
}  // namespace simtest

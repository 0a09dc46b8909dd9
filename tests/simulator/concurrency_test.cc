// SimNetwork used from several threads at once: frames from one, control
// commands and queries from others (what dcu_sim's users and in-process
// master tests do).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

TEST(Concurrency, FramesAndControlFromSeveralThreads) {
  Net net(Dcus(3, "[{name: j1, type: KINETRA_A50, can_id: 1}]"));
  net.BringUp(3);
  dcusim::SimNetwork& sim = net.sim();
  const uint64_t t0 = net.now();
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::thread frames([&] {
    for (int i = 0; i < 3000; ++i) {
      auto f = BuildFrame({Logical(LRW, 0, std::vector<uint8_t>(1440, 0)), Read(FRMW, Station(1), 0x0910, 8)});
      if (sim.ProcessFrame(f.data(), f.size(), t0 + uint64_t(i + 1) * 1000000)) ++answered;
    }
    stop = true;
  });
  std::thread control([&] {
    int n = 0;
    while (!stop) {
      sim.Command(n % 2 ? "board 2 silent" : "board 2 answer", t0);
      sim.Command("stats", t0);
      dcusim::ActuatorStatus a;
      sim.GetActuator("j1", &a);
      dcusim::BoardStatus b;
      sim.GetBoard(1 + n % 3, &b, t0);
      ++n;
    }
  });
  std::thread loss([&] {
    while (!stop) {
      sim.SetLoss(0.1);
      sim.SetLoss(0.0);
      sim.RecordReplyLatency(1000);
    }
  });
  frames.join();
  control.join();
  loss.join();
  EXPECT_GT(answered.load(), 2000);
  sim.SetLoss(0);
  sim.SetBoardSilent(2, false);
  EXPECT_NE(sim.StatsText().find("pd_frames="), std::string::npos);
}

}  // namespace
}  // namespace simtest

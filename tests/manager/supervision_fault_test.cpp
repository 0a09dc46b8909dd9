// Link supervision on a simulated network at its realistic defaults (slave
// controllers count output writes in SAFE_OP, so a board that leaves OP does
// not shorten the working counter), with several faults at once, an
// unregistered slave, long cycles, and bring-ups that must be abortable.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ethercat_manager/ethercat_manager.h"
#include "tests/manager/manager_test_util.h"
#include "tests/manager/sim_yaml.h"
#include "tests/support/test_bus.h"

namespace {

using ethercat_manager::EthercatConfig;
using ethercat_manager::EthercatManager;
using ethercat_manager::kMaxRegisterRead;
using ethercat_manager::ManagerTestAccess;
using manager_test::AccMagnitude;
using manager_test::Count;
using manager_test::Plain;
using manager_test::Red;
using manager_test::StdoutCapture;
using manager_test::TestNode;
using manager_test::WaitFor;
using manager_test::Yellow;
using namespace std::chrono_literals;

// `boards` DCUs registered as dcu_1..dcu_n; `simulator` adds simulator-only
// settings (e.g. an unregistered slave).
class Supervised : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::TestBus::Available(&why)) GTEST_SKIP() << why;
  }
  void TearDown() override {
    manager_.Stop();
    out_.Release();
  }

  // Brings the bus up; false (with the output in the failure) when the start fails.
  bool Bring(int boards, uint64_t cycle_ns = 1000000, const std::string& simulator = "", bool enable_dc = true) {
    bus_ = std::make_unique<simtest::TestBus>(manager_test::SimYaml(boards, cycle_ns, simulator));
    if (!bus_->ok()) {
      ADD_FAILURE() << bus_->error();
      return false;
    }
    for (int p = 1; p <= boards; ++p) {
      nodes_.push_back(std::make_unique<TestNode>(p));
      nodes_.back()->label_ = "dcu_" + std::to_string(p);
      manager_.RegisterNode(nodes_.back().get());
    }
    config_.ifname = bus_->ifname();
    config_.cycle_time_ns = cycle_ns;
    config_.enable_dc = enable_dc;
    return manager_.Start(config_);
  }

  // Stops the manager and drops the nodes and the simulator, for a second Bring.
  void Reset() {
    manager_.Stop();
    for (auto& node : nodes_) manager_.UnregisterNode(node.get());
    nodes_.clear();
    bus_.reset();
  }

  std::string Since() const { return out_.Text().substr(mark_); }
  void Mark() { mark_ = out_.Text().size(); }
  bool WaitLine(const std::string& line, int count = 1, std::chrono::milliseconds timeout = 30s) {
    return WaitFor([&] { return Count(Since(), line) >= count; }, timeout);
  }
  bool BoardInOp(int p) {
    return manager_test::BoardStateIs(bus_->Control("get " + std::to_string(p) + " state"), "OP");
  }
  void ExpectAllInOp(int boards) {
    for (int p = 1; p <= boards; ++p) EXPECT_TRUE(WaitFor([&] { return BoardInOp(p); }, 5s)) << "board " << p;
  }
  void ExpectDataFlows(int p, double magnitude) {
    bus_->Control("imu " + std::to_string(p) + " magnitude " + std::to_string(magnitude));
    TestNode& node = *nodes_[p - 1];
    EXPECT_TRUE(WaitFor([&] { return std::fabs(AccMagnitude(node.Inputs()) - magnitude) < 0.05; }, 10s))
        << "board " << p;
  }

  StdoutCapture out_;
  std::unique_ptr<simtest::TestBus> bus_;
  EthercatManager manager_;
  EthercatConfig config_;
  std::vector<std::unique_ptr<TestNode>> nodes_;
  size_t mark_ = 0;
  std::chrono::steady_clock::time_point aborter_at_;
};

// A board dropped to SAFE_OP keeps the counter complete; the supervision
// still sees it, acknowledges the error and sends it back to OP, and the bus
// goes quiet again.
TEST_F(Supervised, BoardsInSafeOpBehindACompleteCounterAreRepaired) {
  ASSERT_TRUE(Bring(2)) << out_.Text();
  Mark();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Since(), "") << "a healthy bus prints nothing";

  bus_->Control("board 2 state SAFE_OP error code 0x001B");
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  std::string text = Since();
  const size_t ack = text.find(Red("[ERROR] ERROR : node dcu_2 (2) is in SAFE_OP + ERROR, attempting ack."));
  const size_t to_op = text.find(Red("[ERROR] ERROR : node dcu_2 (2) is in SAFE_OP, change to OPERATIONAL."));
  EXPECT_NE(text.find(Yellow("[WARN] wkc < expected_wkc , wkc: 6, expected_wkc: 6")), std::string::npos) << text;
  EXPECT_NE(ack, std::string::npos) << text;
  EXPECT_NE(to_op, std::string::npos) << text;
  EXPECT_LT(ack, to_op) << text;
  EXPECT_EQ(text.find("dcu_1"), std::string::npos) << text;
  ExpectAllInOp(2);
  ExpectDataFlows(2, 6.5);

  Mark();
  bus_->Control("board 1 state SAFE_OP");
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  text = Since();
  EXPECT_EQ(Count(text, Red("[ERROR] ERROR : node dcu_1 (1) is in SAFE_OP, change to OPERATIONAL.")), 1) << text;
  ExpectAllInOp(2);

  Mark();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Since(), "");
}

// An unregistered slave stays in SAFE_OP with its outputs counted: the
// broadcast state read cannot tell, so the registered boards are read one by
// one. A pulled cable is declared lost and, once back (the counter then sits
// above the expected value), resumed with every DCU repaired.
TEST_F(Supervised, UnregisteredSlaveDoesNotHideFaultsAndTheLinkResumesWhenTheCableIsBack) {
  ASSERT_TRUE(Bring(3, 1000000, "extra_slaves:\n  - {kind: generic, name: IO16, output_bytes: 2, input_bytes: 4}\n"))
      << out_.Text();
  ASSERT_NE(out_.Text().find("[INFO] Slaves 4 unregistered, excluded."), std::string::npos) << out_.Text();
  Mark();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Since(), "") << "a healthy bus with an excluded slave prints nothing";

  bus_->Control("board 3 state SAFE_OP error code 0x001B");
  ASSERT_TRUE(WaitLine(Red("[ERROR] ERROR : node dcu_3 (3) is in SAFE_OP + ERROR, attempting ack."))) << Since();
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  ExpectAllInOp(3);

  Mark();
  bus_->Control("cable pull");
  ASSERT_TRUE(WaitLine(Red("[ERROR] Ecat link lost."))) << Since();
  EXPECT_TRUE(manager_.LinkLost());
  std::this_thread::sleep_for(1s);  // pulled for about 2 s in all
  bus_->Control("cable restore");
  ASSERT_TRUE(WaitLine(Yellow("[WARN] Ecat link resmed."))) << Since();
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  EXPECT_FALSE(manager_.LinkLost());
  const std::string text = Since();
  EXPECT_EQ(Count(text, "[ERROR] Ecat link lost."), 1) << text;
  EXPECT_LT(text.find("Ecat link resmed."), text.find("all slaves resumed")) << text;
  ExpectAllInOp(3);
  for (int p = 1; p <= 3; ++p) ExpectDataFlows(p, 5.0 + p);
}

// One board silent, another power-cycled: the link is not declared lost
// while some boards answer, the reset board is recovered, reconfigured and
// back in OP, and the silent one is named in every pass.
TEST_F(Supervised, SilentBoardDoesNotStopTheRepairOfAnother) {
  ASSERT_TRUE(Bring(3)) << out_.Text();
  Mark();
  bus_->Control("board 2 silent");
  ASSERT_TRUE(WaitLine(Red("[ERROR] ERROR : node dcu_2 (2) lost. current state: 0x0000"))) << Since();
  std::this_thread::sleep_for(1200ms);  // beyond the ten passes after which the link used to be given up
  bus_->Control("board 1 reset");
  ASSERT_TRUE(WaitLine(Yellow("[WARN] MESSAGE : node dcu_1 (1) reconfigured done. current state: 0x0004"))) << Since();
  ASSERT_TRUE(WaitFor([&] { return BoardInOp(1); }, 10s)) << Since();
  const std::string text = Since();
  EXPECT_EQ(text.find("Ecat link lost."), std::string::npos) << text;
  EXPECT_FALSE(manager_.LinkLost());
  const size_t recovered = text.find(Yellow("[WARN] MESSAGE : node dcu_1 (1) recovered"));
  const size_t reconf = text.find(Yellow("[WARN] MESSAGE : node dcu_1 (1)  reconfigured. current state: 0x0001"));
  EXPECT_NE(recovered, std::string::npos) << text;
  EXPECT_LT(recovered, reconf) << text;
  EXPECT_GE(Count(text, Red("[ERROR] WARN : node dcu_2 (2) lost. current state: 0x0000")), 10) << text;
  EXPECT_EQ(text.find("dcu_3"), std::string::npos) << text;
  ExpectDataFlows(1, 4.5);
  ExpectDataFlows(3, 5.5);

  bus_->Control("board 2 answer");
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  ExpectAllInOp(3);
}

// The same with the power-cycled board behind the silent one: the silent
// controller no longer counts positions, so the reset board answers one
// position earlier and is found there.
TEST_F(Supervised, ResetBoardBehindASilentOneIsRecovered) {
  ASSERT_TRUE(Bring(3)) << out_.Text();
  Mark();
  bus_->Control("board 2 silent");
  ASSERT_TRUE(WaitLine(Red("[ERROR] ERROR : node dcu_2 (2) lost. current state: 0x0000"))) << Since();
  bus_->Control("board 3 reset");
  ASSERT_TRUE(WaitLine(Yellow("[WARN] MESSAGE : node dcu_3 (3) recovered"))) << Since();
  ASSERT_TRUE(WaitFor([&] { return BoardInOp(3); }, 10s)) << Since();
  EXPECT_EQ(Since().find("Ecat link lost."), std::string::npos) << Since();
  ExpectDataFlows(3, 6.5);

  bus_->Control("board 2 answer");
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  ExpectAllInOp(3);
}

// Long cycles with distributed clocks: the boards' watchdogs see outputs
// every cycle from the first, nothing is printed, and Stop does not wait for
// the cycle to end.
TEST_F(Supervised, LongCyclesRunWithDcAndStopPromptly) {
  for (uint64_t cycle_ns : {20000000ULL, 50000000ULL}) {
    SCOPED_TRACE(cycle_ns);
    ASSERT_TRUE(Bring(2, cycle_ns)) << out_.Text();
    Mark();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Since(), "");
    ExpectAllInOp(2);
    ExpectDataFlows(1, 7.25);
    const auto before = std::chrono::steady_clock::now();
    manager_.Stop();
    // About 100 ms by design; the bound leaves room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    Reset();
  }
}

// A cycle the boards' SM watchdog cannot bridge is refused, with the value
// read from the board's registers, or the default 100 ms.
TEST_F(Supervised, CycleAtOrAboveTheWatchdogIsRefused) {
  EXPECT_FALSE(Bring(2, 60000000, "boards:\n  - {position: 2, watchdog_ms: 50}\n"));
  EXPECT_EQ(Count(out_.Text(), Red("[ERROR] cycle_time 60000000 ns is not below the SM watchdog time 50000000 ns "
                                   "of slave node dcu_2 (2): its outputs would time out between two cycles.")),
            1)
      << out_.Text();
  EXPECT_EQ(out_.Text().find("transfer all slaves to SAFE_OP"), std::string::npos);

  Reset();
  Mark();
  EXPECT_FALSE(Bring(1, 4294967295ULL));
  EXPECT_EQ(Count(Since(), Red("[ERROR] cycle_time 4294967295 ns is not below the SM watchdog time 100000000 ns "
                               "of slave node dcu_1 (1): its outputs would time out between two cycles.")),
            1)
      << Since();
}

// A bring-up stuck in its OP wait (the boards refuse OP without SYNC0) ends
// soon after an abort request from another thread.
TEST_F(Supervised, AbortEndsAStuckBringUp) {
  std::thread aborter([this] {
    WaitFor([&] { return out_.Text().find("Request operational state") != std::string::npos; }, 30s);
    std::this_thread::sleep_for(200ms);
    aborter_at_ = std::chrono::steady_clock::now();
    manager_.RequestAbort();
  });
  EXPECT_FALSE(Bring(2, 1000000, "require_dc_for_op: true\n", false));
  const auto ended = std::chrono::steady_clock::now();
  aborter.join();
  EXPECT_LT(ended - aborter_at_, 1s);
  EXPECT_EQ(Count(out_.Text(), Yellow("[WARN] EtherCAT start-up aborted.")), 1) << out_.Text();
  EXPECT_FALSE(ManagerTestAccess::Running(manager_));
}

// Board 2 silent, then board 3 power-cycled: board 3 answers one position
// early without its station address. The nodes are registered from the last
// to the first, so that the supervision looks at dcu_2 before dcu_3 in a
// pass: the board is still board 3's, dcu_2 stays lost, and no node ever
// reads the other board's inputs.
TEST_F(Supervised, ABoardFoundWhereALostOneWasIsNotGivenToTheWrongNode) {
  bus_ = std::make_unique<simtest::TestBus>(manager_test::SimYaml(3));
  ASSERT_TRUE(bus_->ok()) << bus_->error();
  for (int p = 3; p >= 1; --p) {
    nodes_.push_back(std::make_unique<TestNode>(p));
    nodes_.back()->label_ = "dcu_" + std::to_string(p);
    manager_.RegisterNode(nodes_.back().get());
  }
  config_.ifname = bus_->ifname();
  config_.cycle_time_ns = 1000000;
  config_.enable_dc = true;
  ASSERT_TRUE(manager_.Start(config_)) << out_.Text();
  TestNode& node2 = *nodes_[1];
  TestNode& node3 = *nodes_[0];
  Mark();
  bus_->Control("board 2 silent");
  ASSERT_TRUE(WaitLine(Red("[ERROR] ERROR : node dcu_2 (2) lost. current state: 0x0000"))) << Since();
  bus_->Control("imu 3 magnitude 6.25");
  bus_->Control("board 3 reset");
  ASSERT_TRUE(WaitLine(Yellow("[WARN] MESSAGE : node dcu_3 (3) recovered"))) << Since();
  ASSERT_TRUE(WaitFor([&] { return BoardInOp(3); }, 10s)) << Since();
  EXPECT_NE(bus_->Control("get 3 state").find("address=0x1003"), std::string::npos) << bus_->Control("get 3 state");
  EXPECT_TRUE(WaitFor([&] { return std::fabs(AccMagnitude(node3.Inputs()) - 6.25) < 0.05; }, 10s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Since().find("node dcu_2 (2) recovered"), std::string::npos) << Since();
  EXPECT_GT(std::fabs(AccMagnitude(node2.Inputs()) - 6.25), 0.05) << "dcu_2 reads board 3";
  EXPECT_EQ(node2.ReportedStates().back(), ethercat_manager::NONE);
  // Counters are read by station address between two cycles: the silent
  // board does not answer, and board 3 is read as itself.
  ethercat_manager::CounterReading reading;
  bus_->Control("board 3 lost_links 3");
  EXPECT_FALSE(manager_.ReadErrorCounters(2, &reading));
  ASSERT_TRUE(manager_.ReadErrorCounters(3, &reading));
  EXPECT_EQ(reading.position, 3);
  EXPECT_EQ(reading.errors[16], 3);  // lost links at port 0

  bus_->Control("board 2 answer");
  ASSERT_TRUE(WaitLine(Plain("[INFO] OK : all slaves resumed OPERATIONAL."))) << Since();
  ExpectAllInOp(3);
}

// Board 2 goes silent and board 3 is power-cycled at the same moment: when
// dcu_2 is found lost, a board without a station address already answers at
// its position, and nothing tells whether it is board 2 or board 3. Neither
// is recovered, both are named, once.
TEST_F(Supervised, ABoardThatCouldBeEitherOfTwoLostOnesIsGivenToNeither) {
  ASSERT_TRUE(Bring(3)) << out_.Text();
  Mark();
  bus_->Control("board 2 silent");
  bus_->Control("board 3 reset");
  const std::string both = Red(
      "[ERROR] A board without its station address answers at position 2; it may be dcu_2 (2) or dcu_3 (3), which "
      "cannot be told apart: none of them is recovered, and their checks fail.");
  ASSERT_TRUE(WaitLine(both)) << Since();
  ASSERT_TRUE(WaitLine(Red("[ERROR] WARN : node dcu_3 (3) lost. current state: 0x0000"), 5)) << Since();
  const std::string text = Since();
  EXPECT_EQ(Count(text, both), 1) << text;
  EXPECT_EQ(text.find("MESSAGE : node"), std::string::npos) << text;
  EXPECT_NE(bus_->Control("get 3 state").find("address=0x0000"), std::string::npos) << bus_->Control("get 3 state");
  EXPECT_EQ(nodes_[1]->ReportedStates().back(), ethercat_manager::NONE);
  EXPECT_EQ(nodes_[2]->ReportedStates().back(), ethercat_manager::NONE);
}

// A program's register reads while the bus runs are served between two
// cycles: by station address a silent board does not answer, by position
// address the board behind it answers in its place; reads outside the
// slaves or the buffer are refused, and once stopped the caller reads itself.
TEST_F(Supervised, RegisterReadsWhileRunningFindTheRightBoard) {
  ASSERT_TRUE(Bring(3)) << out_.Text();
  auto al_state = [this](int position, bool by_position = false) {
    uint8_t d[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (!manager_.ReadSlaveRegisters(position, 0x0130, d, sizeof d, by_position)) return -1;
    return d[0] | (d[1] << 8);
  };
  auto station_at = [this](int position) {
    uint8_t d[2] = {0, 0};
    if (!manager_.ReadSlaveRegisters(position, 0x0010, d, sizeof d, true)) return -1;
    return d[0] | (d[1] << 8);
  };
  // A stall of this computer may drop a board to SAFE_OP for a moment; the
  // supervision brings it back.
  auto in_op = [&](int p) { return WaitFor([&] { return al_state(p) == 0x08; }, 10s); };
  for (int p = 1; p <= 3; ++p) EXPECT_TRUE(in_op(p)) << p;
  EXPECT_EQ(station_at(3), 0x1003);

  bus_->Control("board 2 silent");
  EXPECT_EQ(al_state(2), -1);
  EXPECT_EQ(station_at(2), 0x1003) << "board 3 answers one position early";
  EXPECT_TRUE(in_op(3));

  uint8_t big[kMaxRegisterRead + 1] = {0};
  EXPECT_FALSE(manager_.ReadSlaveRegisters(0, 0x0130, big, 2));
  EXPECT_FALSE(manager_.ReadSlaveRegisters(4, 0x0130, big, 2));
  EXPECT_FALSE(manager_.ReadSlaveRegisters(1, 0x0130, big, 0));
  EXPECT_FALSE(manager_.ReadSlaveRegisters(1, 0x0130, big, sizeof big));
  EXPECT_FALSE(manager_.ReadSlaveRegisters(1, 0x0130, nullptr, 2));

  bus_->Control("board 2 answer");
  manager_.Stop();
  EXPECT_EQ(al_state(1), 0x01) << "back in INIT after the stop";
}

}  // namespace

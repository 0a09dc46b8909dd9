// Link supervision against faults injected into the simulated network while
// the cyclic exchange runs: every repair path, its messages, the state
// reports to the nodes, and process data flowing again afterwards.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "ethercat_manager/ethercat_manager.h"
#include "tests/manager/manager_test_util.h"
#include "tests/manager/sim_yaml.h"
#include "tests/support/test_bus.h"

namespace {

using ethercat_manager::EthercatConfig;
using ethercat_manager::EthercatManager;
using ethercat_manager::NodeState;
using manager_test::AccMagnitude;
using manager_test::Count;
using manager_test::Plain;
using manager_test::Red;
using manager_test::StdoutCapture;
using manager_test::TestNode;
using manager_test::WaitFor;
using manager_test::WaitForText;
using manager_test::Yellow;
using namespace std::chrono_literals;

// Two boards, both registered (dcu_1, dcu_2), brought to OP; the output is
// captured from before the start. The simulated boards count output writes
// in SAFE_OP, as the usual slave stacks do, so a link whose boards were
// tripped by their watchdog shows the full working counter again.
class SupervisionTest : public ::testing::Test {
 protected:
  static constexpr int kBoards = 2;

  virtual std::string SimulatorOptions() const { return ""; }

  void SetUp() override {
    bus_ = std::make_unique<simtest::TestBus>(manager_test::SimYaml(kBoards, 1000000, SimulatorOptions()));
    ASSERT_TRUE(bus_->ok()) << bus_->error();
    for (int p = 1; p <= kBoards; ++p) {
      nodes_.push_back(std::make_unique<TestNode>(p));
      nodes_.back()->label_ = "dcu_" + std::to_string(p);
      manager_.RegisterNode(nodes_.back().get());
    }
    EthercatConfig config;
    config.ifname = bus_->ifname();
    ASSERT_TRUE(manager_.Start(config)) << out_.Text();
    start_end_ = out_.Text().size();
  }

  void TearDown() override {
    manager_.Stop();
    out_.Release();
  }

  // Everything printed since the start message.
  std::string Since() const { return out_.Text().substr(start_end_); }
  // Marks the current end of the output; Since() then starts there.
  void Mark() { start_end_ = out_.Text().size(); }

  bool WaitLine(const std::string& line, int count = 1, std::chrono::milliseconds timeout = 30s) {
    return WaitFor([&] { return Count(Since(), line) >= count; }, timeout);
  }

  // Process data flow through board p: its IMU takes a new value and the
  // node's input image follows.
  void ExpectDataFlows(int p, double magnitude) {
    bus_->Control("imu " + std::to_string(p) + " magnitude " + std::to_string(magnitude));
    TestNode& node = *nodes_[p - 1];
    EXPECT_TRUE(WaitFor([&] { return std::fabs(AccMagnitude(node.Inputs()) - magnitude) < 0.05; }, 10s))
        << "board " << p << " inputs read " << AccMagnitude(node.Inputs());
  }

  void ExpectAllBoardsInOp() {
    for (int p = 1; p <= kBoards; ++p) {
      const std::string state = bus_->Control("get " + std::to_string(p) + " state");
      EXPECT_TRUE(manager_test::BoardStateIs(state, "OP")) << "board " << p << ": " << state;
    }
  }

  // States reported to node p after the bring-up's PRE_OP, SAFE_OP, OP.
  std::vector<int> ReportsAfterStart(int p) {
    std::vector<int> states;
    const auto all = nodes_[p - 1]->ReportedStates();
    for (size_t i = 3; i < all.size(); ++i) states.push_back(static_cast<int>(all[i]));
    return states;
  }

  // Lines (with colours) expected for the walk once everything is back in OP.
  static std::string AllResumed() { return Plain("[INFO] OK : all slaves resumed OPERATIONAL."); }

  StdoutCapture out_;
  std::unique_ptr<simtest::TestBus> bus_;
  EthercatManager manager_;
  std::vector<std::unique_ptr<TestNode>> nodes_;
  size_t start_end_ = 0;
};

TEST_F(SupervisionTest, HealthyBusPrintsNothingAfterTheStartMessage) {
  std::this_thread::sleep_for(2500ms);  // 25 supervision passes
  EXPECT_EQ(Since(), "");
  EXPECT_EQ(ReportsAfterStart(1), std::vector<int>{});
  EXPECT_EQ(ReportsAfterStart(2), std::vector<int>{});
  ExpectDataFlows(2, 7.5);
}

// Boards that stop counting output writes outside OP: a board that leaves OP
// shortens the working counter.
class SafeOpSupervisionTest : public SupervisionTest {
 protected:
  std::string SimulatorOptions() const override { return "outputs_count_in_safe_op: false\n"; }
};

TEST_F(SafeOpSupervisionTest, SafeOpWithErrorIsAcknowledgedAndSentBackToOp) {
  bus_->Control("board 2 state SAFE_OP error code 0x001B");
  ASSERT_TRUE(WaitLine(AllResumed())) << Since();
  const std::string text = Since();
  const size_t warn = text.find("\033[33m[WARN] wkc < expected_wkc , wkc: ");
  const size_t ack = text.find(Red("[ERROR] ERROR : node dcu_2 (2) is in SAFE_OP + ERROR, attempting ack."));
  const size_t to_op = text.find(Red("[ERROR] ERROR : node dcu_2 (2) is in SAFE_OP, change to OPERATIONAL."));
  const size_t ok = text.find(AllResumed());
  EXPECT_NE(warn, std::string::npos) << text;
  EXPECT_NE(ack, std::string::npos) << text;
  EXPECT_NE(to_op, std::string::npos) << text;
  EXPECT_LT(warn, ack) << text;
  EXPECT_LT(ack, to_op) << text;
  EXPECT_LT(to_op, ok) << text;
  EXPECT_EQ(text.find("dcu_1"), std::string::npos) << text;
  EXPECT_EQ(text.find("Ecat link lost."), std::string::npos) << text;
  // The first pass sees the board's missing output write.
  EXPECT_NE(text.find(Yellow("[WARN] wkc < expected_wkc , wkc: 4, expected_wkc: 6")), std::string::npos) << text;

  // The node hears the acknowledge request, then the requested OP; the walk
  // that finds OP again reports nothing new.
  EXPECT_EQ(ReportsAfterStart(2), (std::vector<int>{0x14, 0x08}));
  EXPECT_EQ(ReportsAfterStart(1), std::vector<int>{});
  ExpectAllBoardsInOp();
  ExpectDataFlows(2, 4.25);

  // Once repaired the bus is quiet again.
  Mark();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Since(), "");
}

TEST_F(SafeOpSupervisionTest, SafeOpIsRequestedBackToOpAndTheNodeHearsOnlyOp) {
  bus_->Control("board 1 state SAFE_OP");
  ASSERT_TRUE(WaitLine(AllResumed())) << Since();
  const std::string text = Since();
  EXPECT_EQ(Count(text, Red("[ERROR] ERROR : node dcu_1 (1) is in SAFE_OP, change to OPERATIONAL.")), 1) << text;
  EXPECT_EQ(text.find("attempting ack"), std::string::npos) << text;
  EXPECT_EQ(text.find("[ERROR] Ecat link lost."), std::string::npos) << text;
  // Reported as the requested OP in the same pass: the node's state never changed.
  EXPECT_EQ(ReportsAfterStart(1), std::vector<int>{});
  ExpectAllBoardsInOp();
  ExpectDataFlows(1, 5.5);
}

TEST_F(SupervisionTest, BoardsFallenToInitOrPreOpAreReconfigured) {
  struct Fall {
    std::string command;
    std::string state_hex;
  };
  const Fall falls[] = {{"board 2 state INIT", "0x0001"},
                        {"board 2 state PRE_OP", "0x0002"},
                        {"board 2 state PRE_OP error code 0x001D", "0x0012"}};
  double magnitude = 6.0;
  for (const Fall& fall : falls) {
    SCOPED_TRACE(fall.command);
    Mark();
    const size_t reports_before = nodes_[1]->ReportedStates().size();
    bus_->Control(fall.command);
    ASSERT_TRUE(WaitLine(AllResumed())) << Since();
    const std::string text = Since();
    const size_t reconf =
        text.find(Yellow("[WARN] MESSAGE : node dcu_2 (2)  reconfigured. current state: " + fall.state_hex));
    const size_t done = text.find(Yellow("[WARN] MESSAGE : node dcu_2 (2) reconfigured done. current state: 0x0004"));
    const size_t to_op = text.find(Red("[ERROR] ERROR : node dcu_2 (2) is in SAFE_OP, change to OPERATIONAL."));
    EXPECT_NE(reconf, std::string::npos) << text;
    EXPECT_NE(done, std::string::npos) << text;
    EXPECT_NE(to_op, std::string::npos) << text;
    EXPECT_LT(reconf, done) << text;
    EXPECT_LT(done, to_op) << text;
    EXPECT_EQ(text.find("Ecat link lost."), std::string::npos) << text;
    // SAFE_OP after the reconfiguration, then the requested OP.
    const auto all = nodes_[1]->ReportedStates();
    const std::vector<NodeState> reports(all.begin() + static_cast<long>(reports_before), all.end());
    EXPECT_EQ(reports, (std::vector<NodeState>{ethercat_manager::SAFE_OP, ethercat_manager::OP}));
    ExpectAllBoardsInOp();
    ExpectDataFlows(2, magnitude += 0.5);
  }
}

TEST_F(SupervisionTest, SilentBoardIsMarkedLostAndFoundWhenItAnswersAgain) {
  bus_->Control("board 2 silent");
  ASSERT_TRUE(WaitLine(Red("[ERROR] WARN : node dcu_2 (2) lost. current state: 0x0000"))) << Since();
  bus_->Control("board 2 answer");
  ASSERT_TRUE(WaitLine(AllResumed())) << Since();
  const std::string text = Since();

  // Within the first checking pass: re-check, loss, loss warning (and a first
  // recovery attempt, which finds nobody at the position).
  const size_t recheck = text.find(Yellow("[WARN] WARN : node dcu_2 (2) re-check state. current state: 0x0000"));
  const size_t lost = text.find(Red("[ERROR] ERROR : node dcu_2 (2) lost. current state: 0x0000"));
  const size_t lost_warn = text.find(Red("[ERROR] WARN : node dcu_2 (2) lost. current state: 0x0000"));
  EXPECT_NE(recheck, std::string::npos) << text;
  EXPECT_LT(recheck, lost) << text;
  EXPECT_LT(lost, lost_warn) << text;
  EXPECT_EQ(Count(text, "re-check state"), 1) << text;
  EXPECT_EQ(Count(text, "ERROR : node dcu_2 (2) lost."), 1) << text;
  // Answering again: found (with the state it answers in) or recovered.
  const bool found = text.find("[WARN] MESSAGE : node dcu_2 (2) found. current state: 0x") != std::string::npos;
  const bool recovered = text.find(Yellow("[WARN] MESSAGE : node dcu_2 (2) recovered")) != std::string::npos;
  EXPECT_TRUE(found || recovered) << text;
  EXPECT_EQ(text.find("dcu_1"), std::string::npos) << text;

  // The node heard NONE while silent and OP at the end.
  const auto reports = ReportsAfterStart(2);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), 0x00);
  EXPECT_EQ(reports.back(), 0x08);
  ExpectAllBoardsInOp();
  ExpectDataFlows(2, 8.75);
}

// A board whose controller was power-cycled answers at its position with no
// address: it is lost, recovered (address restored), then reconfigured from
// INIT and sent back to OP.
TEST_F(SupervisionTest, PowerCycledBoardIsRecoveredAndReconfigured) {
  bus_->Control("board 2 reset");
  ASSERT_TRUE(WaitLine(AllResumed())) << Since();
  const std::string text = Since();
  const size_t lost = text.find(Red("[ERROR] ERROR : node dcu_2 (2) lost. current state: 0x0000"));
  const size_t recovered = text.find(Yellow("[WARN] MESSAGE : node dcu_2 (2) recovered"));
  const size_t reconf = text.find(Yellow("[WARN] MESSAGE : node dcu_2 (2)  reconfigured. current state: 0x0001"));
  const size_t done = text.find(Yellow("[WARN] MESSAGE : node dcu_2 (2) reconfigured done. current state: 0x0004"));
  EXPECT_NE(lost, std::string::npos) << text;
  EXPECT_LT(lost, recovered) << text;
  EXPECT_LT(recovered, reconf) << text;
  EXPECT_LT(reconf, done) << text;
  EXPECT_EQ(Count(text, "recovered"), 1) << text;
  EXPECT_EQ(text.find("Ecat link lost."), std::string::npos) << text;
  const auto reports = ReportsAfterStart(2);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), 0x00);
  EXPECT_EQ(reports.back(), 0x08);
  ExpectAllBoardsInOp();
  ExpectDataFlows(2, 2.5);
}

TEST_F(SupervisionTest, PulledCableDeclaresTheLinkLostAndResumesWhenBack) {
  bus_->Control("cable pull");
  ASSERT_TRUE(WaitLine(Red("[ERROR] Ecat link lost."))) << Since();
  const std::string lost_text = Since();
  // Ten failing passes, each warning followed by the walk over both boards.
  EXPECT_EQ(Count(lost_text, Yellow("[WARN] wkc < expected_wkc , wkc: -1, expected_wkc: 6")), 10) << lost_text;
  EXPECT_EQ(Count(lost_text, "[WARN] wkc < expected_wkc"), 10) << lost_text;
  EXPECT_EQ(Count(lost_text, "re-check state"), 2) << lost_text;
  EXPECT_EQ(Count(lost_text, "[ERROR] WARN : node dcu_1 (1) lost."), 10) << lost_text;
  EXPECT_EQ(Count(lost_text, "[ERROR] WARN : node dcu_2 (2) lost."), 10) << lost_text;
  EXPECT_EQ(Count(lost_text, "all slaves resumed"), 0) << lost_text;
  EXPECT_EQ(Count(lost_text, "[ERROR] Ecat link lost."), 1) << lost_text;

  // While the link is lost nothing is printed and nothing reported.
  const auto reports_when_lost = nodes_[0]->ReportedStates().size();
  Mark();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(Since(), "");
  EXPECT_EQ(nodes_[0]->ReportedStates().size(), reports_when_lost);

  bus_->Control("cable restore");
  ASSERT_TRUE(WaitLine(Yellow("[WARN] Ecat link resmed."))) << Since();
  ASSERT_TRUE(WaitLine(AllResumed())) << Since();
  const std::string text = Since();
  EXPECT_LT(text.find("Ecat link resmed."), text.find("all slaves resumed")) << text;
  EXPECT_EQ(Count(text, "Ecat link lost."), 0) << text;
  for (int p = 1; p <= kBoards; ++p) {
    EXPECT_EQ(ReportsAfterStart(p).front(), 0x00) << p;
    EXPECT_EQ(ReportsAfterStart(p).back(), 0x08) << p;
  }
  ExpectAllBoardsInOp();
  ExpectDataFlows(1, 3.25);
  ExpectDataFlows(2, 3.75);
}

TEST_F(SupervisionTest, OnePercentFrameLossIsRiddenOut) {
  bus_->Control("loss 0.01");
  std::this_thread::sleep_for(4s);
  bus_->Control("loss 0");
  // A pass that caught a lost frame walks and finds everything in OP.
  std::this_thread::sleep_for(300ms);
  const std::string text = Since();
  EXPECT_EQ(text.find("Ecat link lost."), std::string::npos) << text;
  EXPECT_EQ(text.find("reconfigured"), std::string::npos) << text;
  EXPECT_EQ(text.find("SAFE_OP"), std::string::npos) << text;
  ExpectAllBoardsInOp();
  ExpectDataFlows(1, 9.0);
  ExpectDataFlows(2, 9.5);
  Mark();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Since(), "");
}

}  // namespace

// Bring-up, cyclic exchange and shutdown of the bus manager against the
// simulated DCU network.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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
using ethercat_manager::ManagerTestAccess;
using ethercat_manager::NodeState;
using manager_test::AccMagnitude;
using manager_test::Count;
using manager_test::Green;
using manager_test::Plain;
using manager_test::Red;
using manager_test::StdoutCapture;
using manager_test::TestNode;
using manager_test::WaitFor;
using manager_test::Yellow;
using namespace std::chrono_literals;

EthercatConfig BusConfig(const simtest::TestBus& bus, uint64_t cycle_ns = 1000000, bool dc = true) {
  EthercatConfig config;
  config.ifname = bus.ifname();
  config.cycle_time_ns = cycle_ns;
  config.enable_dc = dc;
  return config;
}

bool Has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

// Registers one TestNode per position and keeps them.
struct Nodes {
  std::vector<std::unique_ptr<TestNode>> list;
  TestNode& Add(EthercatManager& manager, int position, bool init_result = true) {
    list.push_back(std::make_unique<TestNode>(position, init_result));
    manager.RegisterNode(list.back().get());
    return *list.back();
  }
};

}  // namespace

TEST(ManagerBus, OneBoardComesUpExchangesDataAndStopsToInit) {
  simtest::TestBus bus(manager_test::SimYaml(1));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  TestNode node(1);
  manager.RegisterNode(&node);

  StdoutCapture out;
  ASSERT_TRUE(manager.Start(BusConfig(bus)));
  const std::string start = out.Text();
  const std::string ifname = bus.ifname();
  const std::vector<std::string> expected_lines = {
      Green("[DEBUG] EthercatManager ifname: " + ifname + ", cycle_time: 1000000, enable_dc: 1"),
      Plain("[INFO] EtherCAT init on " + ifname + " succeeded."),
      Plain("[INFO] 1 slaves found and configured"),
      Green("[DEBUG] All 1 registered slaves matched, Enter Pre-OP state"),
      Plain("[INFO] Slaves mapped, Process Data IO size: 480, expected_wkc 3"),
      Plain("[INFO] EtherCAT DC clock enabled."),
      Green("[DEBUG] transfer all slaves to SAFE_OP."),
      Green("[DEBUG] Request operational state for all slaves"),
      Plain("[INFO] Operational state reached for all slaves."),
      Green("[DEBUG] EthercatManager is running now."),
  };
  size_t pos = 0;
  for (const auto& line : expected_lines) {
    const size_t found = start.find(line, pos);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << start;
    pos = found + line.size();
  }
  EXPECT_TRUE(Has(start, Green("[DEBUG] Workloop is running now...")));
  EXPECT_TRUE(Has(start, Green("[DEBUG] ErrorHandler is running now...")));
  EXPECT_FALSE(Has(start, "[ERROR]")) << start;
  EXPECT_EQ(manager.ExpectedWkc(), 3);

  // Inputs arrive every cycle: the IMU's gravity vector shows in the image and
  // follows the simulator when it changes.
  ASSERT_TRUE(WaitFor([&] { return std::fabs(AccMagnitude(node.Inputs()) - 9.8) < 0.5; }, 5s))
      << AccMagnitude(node.Inputs());
  bus.Control("imu 1 magnitude 3.5");
  EXPECT_TRUE(WaitFor([&] { return std::fabs(AccMagnitude(node.Inputs()) - 3.5) < 0.2; }, 5s))
      << AccMagnitude(node.Inputs());
  const long calls = node.SyncCalls();
  EXPECT_TRUE(WaitFor([&] { return node.SyncCalls() > calls + 50; }, 10s));

  manager.Stop();
  manager.Stop();  // second stop: silent
  const std::string all = out.Text();
  EXPECT_EQ(Count(all, "[DEBUG] EthercatManager is stopped."), 1) << all;
  const std::string stopped_line = Green("[DEBUG] EthercatManager is stopped.");
  ASSERT_GE(all.size(), stopped_line.size());
  EXPECT_EQ(all.substr(all.size() - stopped_line.size()), stopped_line) << "the last line\n" << all;
  const std::string stopped = bus.Control("get 1 state");
  EXPECT_TRUE(manager_test::BoardStateIs(stopped, "INIT")) << stopped;

  // Bring-up reports PRE_OP, SAFE_OP and OP, each hook seeing the previous
  // state; stopping reports nothing.
  using P = std::pair<NodeState, NodeState>;
  EXPECT_EQ(node.Hooks(), (std::vector<P>{{ethercat_manager::NONE, ethercat_manager::PRE_OP},
                                          {ethercat_manager::PRE_OP, ethercat_manager::SAFE_OP},
                                          {ethercat_manager::SAFE_OP, ethercat_manager::OP}}));
  EXPECT_EQ(node.State(), ethercat_manager::OP);
  EXPECT_EQ(node.SlaveName(), "DCU");
  EXPECT_EQ(node.SendSize(), 240);
  EXPECT_EQ(node.RecvSize(), 240);
  EXPECT_EQ(node.InitCalls(), 1);
}

// Outputs reach the board and its answer comes back: the shake-hand request of
// a KinetraA on channel 1, id 1, written straight into the output image.
TEST(ManagerBus, OutputsReachTheBoardAndItsAnswerReturns) {
  simtest::TestBus bus(manager_test::SimYaml(1));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  TestNode node(1);
  manager.RegisterNode(&node);
  StdoutCapture out;
  ASSERT_TRUE(manager.Start(BusConfig(bus)));

  EXPECT_NE(node.Inputs()[0], 3) << "no shake-hand reply before the request";
  std::vector<uint8_t> request(9, 0);
  request[0] = 0x01;  // channel 1 addressing byte: id 1
  request[1] = 0xCD;  // shake-hand request in the slot of id 1
  node.SetOutputs(request);
  EXPECT_TRUE(WaitFor([&] { return node.Inputs()[0] == 3; }, 5s))  // KINETRA_A90
      << static_cast<int>(node.Inputs()[0]);
  manager.Stop();
}

// Six boards need 2880 bytes of image; the DC alignment exchange at the start
// of the loop must not write beyond it, and the first inputs the nodes see
// are the boards', not the echo of the outputs.
TEST(ManagerBus, SixBoardsRunHealthyAndFirstInputsAreTheBoards) {
  simtest::TestBus bus(manager_test::SimYaml(6));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  Nodes nodes;
  for (int p = 1; p <= 6; ++p) nodes.Add(manager, p);

  StdoutCapture out;
  ASSERT_TRUE(manager.Start(BusConfig(bus)));
  ASSERT_TRUE(Has(out.Text(), Plain("[INFO] Slaves mapped, Process Data IO size: 2880, expected_wkc 18")))
      << out.Text();
  for (auto& node : nodes.list) {
    EXPECT_GT(node->first_inputs_acc_, 5.0) << "node " << node->Id();
  }
  // Healthy: nothing after the start message for more than ten supervision passes.
  const size_t after_start = out.Text().size();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(out.Text().substr(after_start), "");
  EXPECT_EQ(manager.ExpectedWkc(), 18);
  EXPECT_GE(ManagerTestAccess::LastWkc(manager), 18);
  for (auto& node : nodes.list) EXPECT_GT(AccMagnitude(node->Inputs()), 5.0) << "node " << node->Id();
  manager.Stop();
  for (int p = 1; p <= 6; ++p) {
    const std::string state = bus.Control("get " + std::to_string(p) + " state");
    EXPECT_TRUE(manager_test::BoardStateIs(state, "INIT")) << p << ": " << state;
  }
}

TEST(ManagerBus, UnregisteredBoardIsExcludedAndLowersTheExpectedCounter) {
  simtest::TestBus bus(manager_test::SimYaml(3));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  Nodes nodes;
  nodes.Add(manager, 1);
  nodes.Add(manager, 3);

  StdoutCapture out;
  ASSERT_TRUE(manager.Start(BusConfig(bus)));
  const std::string text = out.Text();
  EXPECT_TRUE(Has(text, Plain("[INFO] 3 slaves found and configured"))) << text;
  EXPECT_TRUE(Has(text, Green("[DEBUG] All 2 registered slaves matched, Enter Pre-OP state"))) << text;
  EXPECT_EQ(Count(text, "unregistered, excluded."), 1) << text;
  EXPECT_TRUE(Has(text, Plain("[INFO] Slaves 2 unregistered, excluded."))) << text;
  EXPECT_TRUE(Has(text, Plain("[INFO] Slaves mapped, Process Data IO size: 1440, expected_wkc 7"))) << text;
  EXPECT_EQ(manager.ExpectedWkc(), 7);

  // The excluded board is left short of OP; the registered ones run healthy.
  const size_t after_start = text.size();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(out.Text().substr(after_start), "");
  const std::string excluded_state = bus.Control("get 2 state");
  EXPECT_TRUE(manager_test::BoardStateIs(excluded_state, "SAFE_OP")) << excluded_state;
  manager.Stop();
}

TEST(ManagerBus, NodeRefusingInitStopsTheBringUpBeforeAnyExchange) {
  simtest::TestBus bus(manager_test::SimYaml(2));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  Nodes nodes;
  TestNode& good = nodes.Add(manager, 1);
  TestNode& bad = nodes.Add(manager, 2, /*init_result=*/false);

  StdoutCapture out;
  EXPECT_FALSE(manager.Start(BusConfig(bus)));
  const std::string text = out.Text();
  EXPECT_TRUE(Has(text, Red("[ERROR] InitSlaveNodes failed"))) << text;
  EXPECT_FALSE(Has(text, "DC clock")) << text;
  EXPECT_FALSE(ManagerTestAccess::Running(manager));
  EXPECT_EQ(bad.InitCalls(), 1);
  EXPECT_EQ(good.SyncCalls(), 0);
  EXPECT_EQ(bad.SyncCalls(), 0);
  EXPECT_EQ(bad.ReportedStates(), std::vector<NodeState>{ethercat_manager::PRE_OP});
  const size_t before_stop = out.Text().size();
  manager.Stop();
  EXPECT_EQ(out.Text().substr(before_stop), "");
}

TEST(ManagerBus, RegisteredPositionBeyondTheBoardsFound) {
  simtest::TestBus bus(manager_test::SimYaml(1));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  Nodes nodes;
  nodes.Add(manager, 1);
  TestNode& far = nodes.Add(manager, 2);
  far.label_ = "dcu_far";

  StdoutCapture out;
  EXPECT_FALSE(manager.Start(BusConfig(bus)));
  const std::string text = out.Text();
  EXPECT_TRUE(Has(text, Red("[ERROR] Can`t find Registered slave node dcu_far (2)."))) << text;
  EXPECT_FALSE(Has(text, "Enter Pre-OP")) << text;
  EXPECT_TRUE(far.Hooks().empty());
  EXPECT_FALSE(ManagerTestAccess::Running(manager));
}

// The interface is up but no frame comes back (the simulator's cable is
// pulled before the start): discovery tries three times and gives up.
TEST(ManagerBus, NoBoardsBehindTheInterface) {
  simtest::TestBus bus(manager_test::SimYaml(1));
  ASSERT_TRUE(bus.ok()) << bus.error();
  bus.Control("cable pull");
  EthercatManager manager;
  TestNode node(1);
  manager.RegisterNode(&node);
  StdoutCapture out;
  EXPECT_FALSE(manager.Start(BusConfig(bus)));
  const std::string text = out.Text();
  EXPECT_TRUE(Has(text, Plain("[INFO] EtherCAT init on " + bus.ifname() + " succeeded."))) << text;
  EXPECT_TRUE(Has(text, Red("[ERROR] No slaves found!"))) << text;
  EXPECT_FALSE(Has(text, "slaves found and configured")) << text;
  EXPECT_EQ(node.InitCalls(), 0);
  EXPECT_TRUE(node.Hooks().empty());
  EXPECT_FALSE(ManagerTestAccess::Running(manager));

  // With the cable back, the same manager comes up.
  bus.Control("cable restore");
  EXPECT_TRUE(manager.Start(BusConfig(bus)));
  manager.Stop();
}

TEST(ManagerBus, InterfaceThatDoesNotExist) {
  EthercatManager manager;
  TestNode node(1);
  manager.RegisterNode(&node);
  EthercatConfig config;
  config.ifname = "zvk-absent9";
  StdoutCapture out;
  EXPECT_FALSE(manager.Start(config));
  const std::string text = out.Text();
  EXPECT_TRUE(Has(text, Red("[ERROR] No socket connection on zvk-absent9, Execute as root."))) << text;
  // Followed by its real cause, and nothing else.
  EXPECT_TRUE(Has(text, Red("[ERROR] No network interface named zvk-absent9 on this computer (see ip link)."))) << text;
  EXPECT_EQ(Count(text, "[ERROR]"), 2) << text;
}

TEST(ManagerBus, SecondStartWarnsAndRestartAfterStopComesUpAgain) {
  simtest::TestBus bus(manager_test::SimYaml(2));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  Nodes nodes;
  TestNode& node = nodes.Add(manager, 1);
  nodes.Add(manager, 2);

  StdoutCapture out;
  ASSERT_TRUE(manager.Start(BusConfig(bus)));
  const size_t first = out.Text().size();
  EthercatConfig other = BusConfig(bus, 250000, false);
  other.ifname = "zvk-other0";
  EXPECT_TRUE(manager.Start(other));
  EXPECT_EQ(out.Text().substr(first), Yellow("[WARN] EtherCAT is running already."));
  EXPECT_EQ(ManagerTestAccess::Config(manager).cycle_time_ns, 1000000u);
  EXPECT_EQ(ManagerTestAccess::Config(manager).ifname, bus.ifname());
  manager.Stop();

  // A stopped manager starts again from the interface up, without DC this time.
  ASSERT_TRUE(manager.Start(BusConfig(bus, 500000, false)));
  const std::string text = out.Text();
  EXPECT_EQ(Count(text, "[INFO] Operational state reached for all slaves."), 2) << text;
  EXPECT_TRUE(Has(text, Plain("[INFO] EtherCAT DC clock disabled."))) << text;
  const long calls = node.SyncCalls();
  EXPECT_TRUE(WaitFor([&] { return node.SyncCalls() > calls + 50; }, 10s));
  manager.Stop();
  using S = NodeState;
  EXPECT_EQ(node.ReportedStates(), (std::vector<S>{ethercat_manager::PRE_OP, ethercat_manager::SAFE_OP,
                                                   ethercat_manager::OP, ethercat_manager::PRE_OP,
                                                   ethercat_manager::SAFE_OP, ethercat_manager::OP}));
}

// The process image holds 4096 bytes: one DCU (480) plus extra slaves of
// 3 x 1024 and 272 + 272 bytes fill it exactly; one more input byte does not
// fit. (The last slave has a product code of its own: the master copies the
// mapping of an earlier slave with the same identity.)
TEST(ManagerBus, ProcessImageOfExactly4096BytesIsAcceptedAndOneMoreRefused) {
  for (int tail_inputs : {272, 273}) {
    SCOPED_TRACE(tail_inputs);
    const std::string extra =
        "extra_slaves:\n"
        "  - {kind: generic, name: SIM-BIG, count: 3, output_bytes: 512, input_bytes: 512}\n"
        "  - {kind: generic, name: SIM-TAIL, product_code: 0x7A11, output_bytes: 272, input_bytes: " +
        std::to_string(tail_inputs) + "}\n";
    simtest::TestBus bus(manager_test::SimYaml(1, 1000000, extra));
    ASSERT_TRUE(bus.ok()) << bus.error();
    EthercatManager manager;
    TestNode node(1);
    manager.RegisterNode(&node);
    StdoutCapture out;
    const bool started = manager.Start(BusConfig(bus));
    const std::string text = out.Text();
    EXPECT_TRUE(Has(text, Plain("[INFO] 5 slaves found and configured"))) << text;
    if (tail_inputs == 272) {
      ASSERT_TRUE(started) << text;
      // 2 x 5 output + 5 input FMMUs, minus 2 for each of the 4 excluded slaves.
      EXPECT_TRUE(Has(text, Plain("[INFO] Slaves mapped, Process Data IO size: 4096, expected_wkc 7"))) << text;
      const long calls = node.SyncCalls();
      EXPECT_TRUE(WaitFor([&] { return node.SyncCalls() > calls + 20; }, 10s));
      EXPECT_GT(AccMagnitude(node.Inputs()), 5.0);
      manager.Stop();
    } else {
      EXPECT_FALSE(started);
      EXPECT_TRUE(Has(text, Red("[ERROR] PDO data buf too small ! current 4096 need 4097"))) << text;
      EXPECT_EQ(node.InitCalls(), 0);
      EXPECT_EQ(node.SyncCalls(), 0);
    }
  }
}

// A slave that maps no inputs: its node learns the sizes and name from the
// bus and still has its data hook called every cycle.
TEST(ManagerBus, NodeOfASlaveWithoutInputsStillGetsItsDataHook) {
  simtest::TestBus bus(manager_test::SimYaml(
      1, 1000000, "extra_slaves:\n  - {kind: generic, name: SIM-OUT, output_bytes: 8, input_bytes: 0}\n"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EthercatManager manager;
  Nodes nodes;
  nodes.Add(manager, 1);
  TestNode& out_only = nodes.Add(manager, 2);
  StdoutCapture out;
  ASSERT_TRUE(manager.Start(BusConfig(bus))) << out.Text();
  EXPECT_TRUE(Has(out.Text(), Plain("[INFO] Slaves mapped, Process Data IO size: 488, expected_wkc 5")))
      << out.Text();
  const long calls = out_only.SyncCalls();
  EXPECT_TRUE(WaitFor([&] { return out_only.SyncCalls() > calls + 50; }, 10s));
  const size_t after_start = out.Text().size();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(out.Text().substr(after_start), "");
  manager.Stop();
  EXPECT_EQ(out_only.SlaveName(), "SIM-OUT");
  EXPECT_EQ(out_only.SendSize(), 8);
  EXPECT_EQ(out_only.RecvSize(), 0);
  EXPECT_EQ(out_only.State(), ethercat_manager::OP);
}

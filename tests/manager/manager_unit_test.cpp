// Bus manager parts that need no bus: the DC controller, the fixed-point
// conversion, registration, state reporting and the checks Start makes
// before it touches the interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ethercat_manager/chain_diagnosis.h"
#include "ethercat_manager/ethercat_manager.h"
#include "tests/manager/manager_test_util.h"

using ethercat_manager::CalcDcPiSync;
using ethercat_manager::DoubleToFixed;
using ethercat_manager::EthercatConfig;
using ethercat_manager::EthercatManager;
using ethercat_manager::ManagerTestAccess;
using ethercat_manager::NodeState;
using manager_test::Count;
using manager_test::Red;
using manager_test::StdoutCapture;
using manager_test::TestNode;

// ---- DoubleToFixed ---------------------------------------------------------

struct FixedCase {
  double value;
  int32_t mantissa;
  int32_t shift;
};

TEST(DoubleToFixed, PicksTheLargestShiftThatFits) {
  const FixedCase cases[] = {
      {0.05, 1638, 15},      // proportional gain
      {0.01, 327, 15},       // integral gain
      {10000.0, 20000, 1},   //
      {-0.5, -16384, 15},    // negative values take the first rung
      {-3.0, -98304, 15},    //
      {0.99999, 32767, 15},  // truncated toward zero
      {1.0, 16384, 14},      // a power of two moves to the next rung
      {2.0, 16384, 13},      //
      {16383.5, 32767, 1},   //
      {16384.0, 16384, 0},   //
      {32767.9, 32767, 0},   // last value that fits
  };
  for (const auto& c : cases) {
    int32_t mantissa = -1;
    int32_t shift = -1;
    DoubleToFixed(c.value, &mantissa, &shift);
    EXPECT_EQ(mantissa, c.mantissa) << "value " << c.value;
    EXPECT_EQ(shift, c.shift) << "value " << c.value;
  }
}

TEST(DoubleToFixed, LeavesOutputsAloneWhenTheValueDoesNotFit) {
  for (double value : {32768.0, 40000.0, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
    int32_t mantissa = 77;
    int32_t shift = 88;
    DoubleToFixed(value, &mantissa, &shift);
    EXPECT_EQ(mantissa, 77) << "value " << value;
    EXPECT_EQ(shift, 88) << "value " << value;
  }
}

// ---- CalcDcPiSync ------------------------------------------------------------
// Each test keeps its own integral term, as the manager keeps one per start.

TEST(CalcDcPiSync, ReferenceBehindTheShiftPointSlowsTheCycle) {
  int64_t integral = 0;
  // (5000600000 - 480000) mod 1 ms = 120000: proportional 5998 + integral 1197.
  EXPECT_EQ(CalcDcPiSync(5000600000LL, 1000000, 480000, &integral), -7195);
  // The integral keeps 327 x 120000 = 39240000: the same input again adds it once more.
  EXPECT_EQ(CalcDcPiSync(5000600000LL, 1000000, 480000, &integral), -5998 - (2 * 39240000LL >> 15));
}

TEST(CalcDcPiSync, RemainderAboveHalfACycleWrapsNegative) {
  int64_t integral = 0;
  // The remainder 920000 is above half a cycle: delta = -80000, and the
  // shifts floor toward minus infinity (-3999.02 -> -4000, -798.3 -> -799).
  EXPECT_EQ(CalcDcPiSync(5000400000LL, 1000000, 480000, &integral), 4799);
  // The stored integral is -26160000: a zero error now returns only its part.
  EXPECT_EQ(CalcDcPiSync(5000480000LL, 1000000, 480000, &integral), 799);
}

TEST(CalcDcPiSync, ExactlyHalfACycleStaysPositive) {
  int64_t integral = 0;
  // delta = 500000 is not above cycle / 2.
  EXPECT_EQ(CalcDcPiSync(5000980000LL, 1000000, 480000, &integral), -29982);
}

TEST(CalcDcPiSync, NegativeDividendKeepsItsSign) {
  int64_t integral = 0;
  // (0 - 480000) mod 1 ms = -480000 (remainder takes the dividend's sign).
  EXPECT_EQ(CalcDcPiSync(0, 1000000, 480000, &integral), 28786);
}

TEST(CalcDcPiSync, ZeroCycleYieldsNoCorrection) {
  int64_t integral = 0;
  EXPECT_EQ(CalcDcPiSync(5000600000LL, 0, 0, &integral), 0);
  EXPECT_EQ(CalcDcPiSync(5000600000LL, 0, 0), 0);
}

// Two starts of the controller give the same corrections: nothing of the
// first start's integral is left in the second.
TEST(CalcDcPiSync, EachIntegralStartsFromZero) {
  int64_t first = 0;
  int64_t second = 0;
  for (int i = 0; i < 50; ++i) CalcDcPiSync(5000600000LL, 1000000, 480000, &first);
  EXPECT_EQ(CalcDcPiSync(5000600000LL, 1000000, 480000, &second), -7195);
  EXPECT_NE(first, 0);
}

// A cycle thread that woke late by a cycle or more skips the cycles it
// missed, on the same grid; a little late is not a missed cycle.
TEST(SkipMissedCycles, KeepsTheGridAndSendsNoBurst) {
  EXPECT_EQ(ethercat_manager::SkipMissedCycles(1000000, 1000050, 1000000), 1000000);
  EXPECT_EQ(ethercat_manager::SkipMissedCycles(1000000, 1999999, 1000000), 1000000);
  EXPECT_EQ(ethercat_manager::SkipMissedCycles(1000000, 2000000, 1000000), 2000000);
  EXPECT_EQ(ethercat_manager::SkipMissedCycles(1000000, 251300000, 1000000), 251000000);
  EXPECT_EQ(ethercat_manager::SkipMissedCycles(1000000, 5000000, 0), 1000000);
}

// The controller in its loop: the master wakes every cycle plus the last
// correction and reads the slave clock, which runs 100 ppm fast and starts at
// an arbitrary phase. The phase of (DC time - shift) must settle near 0.
TEST(CalcDcPiSync, LocksAFastSlaveClockToTheShiftPoint) {
  const int64_t cycle = 1000000;
  const int64_t shift = cycle / 2 - 20000;
  const int64_t offset = 3350000000000000000LL + 123456;
  int64_t wake = 1000000000;
  int64_t correction = 0;
  int64_t integral = 0;
  int64_t phase = 0;
  for (int i = 0; i < 20000; ++i) {
    wake += cycle + correction;
    const int64_t dc_time = offset + wake + wake / 10000;  // +100 ppm
    correction = CalcDcPiSync(dc_time, cycle, shift, &integral);
    phase = (dc_time - shift) % cycle;
    if (phase > cycle / 2) phase -= cycle;
  }
  EXPECT_LT(std::llabs(phase), 1000) << "phase error after 20 s of cycles";
}

// ---- Registration and state reporting ---------------------------------------

TEST(RegisterNode, RefusesPositionsBelowOne) {
  EthercatManager manager;
  TestNode zero(0);
  TestNode negative(-3);
  StdoutCapture out;
  manager.RegisterNode(&zero);
  manager.RegisterNode(&negative);
  const std::string text = out.Text();
  EXPECT_TRUE(ManagerTestAccess::Nodes(manager).empty());
  EXPECT_EQ(Count(text, "\033[31m[ERROR] "), 2) << text;
  EXPECT_NE(text.find("bus position 0"), std::string::npos) << text;
  EXPECT_NE(text.find("bus position -3"), std::string::npos) << text;
}

TEST(RegisterNode, LaterNodeAtTheSamePositionReplacesTheEarlierQuietly) {
  EthercatManager manager;
  TestNode first(2);
  TestNode second(2);
  TestNode other(1);
  StdoutCapture out;
  manager.RegisterNode(&first);
  manager.RegisterNode(&second);
  manager.RegisterNode(&other);
  EXPECT_EQ(out.Text(), "");
  ASSERT_EQ(ManagerTestAccess::Nodes(manager).size(), 2u);
  EXPECT_EQ(ManagerTestAccess::Nodes(manager).at(2), &second);
  EXPECT_EQ(ManagerTestAccess::Nodes(manager).at(1), &other);
}

TEST(UpdateSlaveState, HookSeesThePreviousStateAndUnchangedStatesAreSilent) {
  EthercatManager manager;
  TestNode a(1);
  TestNode b(2);
  manager.RegisterNode(&a);
  manager.RegisterNode(&b);

  using A = ManagerTestAccess;
  A::UpdateSlaveState(manager, ethercat_manager::PRE_OP, 0);  // position 0: every node
  A::UpdateSlaveState(manager, ethercat_manager::PRE_OP, 0);  // no change: no hook
  A::UpdateSlaveState(manager, 0x14, 2);                      // combined value, one node only
  A::UpdateSlaveState(manager, ethercat_manager::OP, 7);      // unregistered position: nothing

  using P = std::pair<NodeState, NodeState>;
  EXPECT_EQ(a.Hooks(), (std::vector<P>{{ethercat_manager::NONE, ethercat_manager::PRE_OP}}));
  EXPECT_EQ(b.Hooks(), (std::vector<P>{{ethercat_manager::NONE, ethercat_manager::PRE_OP},
                                       {ethercat_manager::PRE_OP, static_cast<NodeState>(0x14)}}));
  EXPECT_EQ(a.State(), ethercat_manager::PRE_OP);
  EXPECT_EQ(static_cast<int>(b.State()), 0x14);
}

// ---- Start and Stop without a bus ---------------------------------------------

TEST(Start, RefusesACycleTimeOfZeroOrBeyond32BitsBeforeTouchingTheBus) {
  for (uint64_t cycle : {uint64_t{0}, uint64_t{4294967296ULL}, std::numeric_limits<uint64_t>::max()}) {
    EthercatManager manager;
    TestNode node(1);
    manager.RegisterNode(&node);
    EthercatConfig config;
    config.ifname = "zvk-none0";
    config.cycle_time_ns = cycle;
    StdoutCapture out;
    EXPECT_FALSE(manager.Start(config)) << cycle;
    const std::string text = out.Text();
    EXPECT_EQ(Count(text, "[ERROR]"), 1) << text;
    EXPECT_NE(text.find("Invalid cycle_time"), std::string::npos) << text;
    EXPECT_EQ(text.find("EtherCAT init"), std::string::npos) << text;
    EXPECT_EQ(text.find("No socket"), std::string::npos) << text;
    EXPECT_FALSE(ManagerTestAccess::Running(manager));
    EXPECT_EQ(node.InitCalls(), 0);
  }
}

TEST(Start, LargestCycleTimeIsNotRefusedForItsSize) {
  // 4294967295 ns passes the check; with nothing registered the start then
  // fails on the registry instead.
  EthercatManager manager;
  EthercatConfig config;
  config.cycle_time_ns = 4294967295ULL;
  StdoutCapture out;
  EXPECT_FALSE(manager.Start(config));
  const std::string text = out.Text();
  EXPECT_EQ(text.find("Invalid cycle_time"), std::string::npos) << text;
  EXPECT_NE(text.find(Red("[ERROR] No slave nodes registered.")), std::string::npos) << text;
}

TEST(Start, WithoutNodesFailsAfterReportingTheSettings) {
  EthercatManager manager;
  EthercatConfig config;
  config.ifname = "enp9s0";
  config.cycle_time_ns = 500000;
  config.enable_dc = false;
  StdoutCapture out;
  EXPECT_FALSE(manager.Start(config));
  EXPECT_EQ(out.Text(),
            manager_test::Green("[DEBUG] EthercatManager ifname: enp9s0, cycle_time: 500000, enable_dc: 0") +
                Red("[ERROR] No slave nodes registered."));
  EXPECT_EQ(ManagerTestAccess::Config(manager).cycle_time_ns, 500000u);
  EXPECT_FALSE(ManagerTestAccess::Config(manager).enable_dc);
}

TEST(Stop, NeverStartedManagerStopsSilentlyAndKeepsItsNodes) {
  TestNode node(1);
  StdoutCapture out;
  {
    EthercatManager manager;
    manager.RegisterNode(&node);
    manager.Stop();
    manager.Stop();
  }  // the destructor must not touch the node
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(node.State(), ethercat_manager::NONE);
}

// What a chain shorter than the file says: several boards cut off at once,
// a slave at the next position that no node owns, boards registered out of
// order, and a chain long enough for every registered position.
TEST(ShortChainDiagnosis, NamesEveryBoardThatMayBeAtFault) {
  using ethercat_manager::DiagnoseShortChain;
  EXPECT_EQ(DiagnoseShortChain(1, false, {{3, "leg"}, {1, "body"}, {2, "arm"}}),
            "Only 1 slave answers and slave 1 has no link on port 1. Either arm (2) and leg (3) are cut off "
            "(check the cable to arm and its power), or body (1) passes frames without answering and every "
            "board behind it answers one position early. dcu_businfo shows each board's ports.");
  EXPECT_EQ(DiagnoseShortChain(2, true, {{1, "body"}, {4, "leg"}}),
            "Only 2 slaves answer, and slave 2 has a link on port 1: the board behind it is connected but does "
            "not answer; check the slave at position 3.");
  // Only unregistered slaves answer in front of the missing board.
  EXPECT_EQ(DiagnoseShortChain(1, false, {{2, "arm"}}),
            "Only 1 slave answers and slave 1 has no link on port 1. arm (2) is cut off (check the "
            "cable to arm and its power). dcu_businfo shows each board's ports.");
  EXPECT_EQ(DiagnoseShortChain(3, false, {{1, "body"}, {3, "leg"}}), "");
}

// ---- BusRecorder -----------------------------------------------------------

// Frames lost one by one are told from runs of several (a stall): each run
// of short frames counts once, and the single-frame ones also on their own,
// a single one still in progress included.
TEST(BusRecorder, CountsRunsOfShortFramesAndTheSingleOnes) {
  ethercat_manager::BusRecorder recorder;
  EthercatConfig config;
  config.cycle_time_ns = 1000000;
  recorder.BeginBringUp(config);
  // good, short, good, short x3, good, short, short(-1: no frame), good, short
  const int wkcs[] = {9, 6, 9, 6, 6, 0, 9, 6, -1, 9, 6};
  for (int wkc : wkcs) recorder.OnCycle(wkc, 9, 0);
  const ethercat_manager::BusFigures f = recorder.Snapshot();
  EXPECT_EQ(f.frames, 11u);
  EXPECT_EQ(f.short_wkc_frames, 7u);
  EXPECT_EQ(f.short_wkc_runs, 4u);
  EXPECT_EQ(f.short_wkc_single_runs, 2u);
  // A new start begins from nothing.
  recorder.BeginBringUp(config);
  EXPECT_EQ(recorder.Snapshot().short_wkc_single_runs, 0u);
}

// ---- RecoveryCandidates ------------------------------------------------------

using ethercat_manager::LostSlave;
using ethercat_manager::RecoveryCandidates;

// Which lost slave a board without a station address may be, from what the
// supervision knows: positions shift behind slaves that pass frames without
// answering, and a board is only given away when one lost slave fits.
TEST(RecoveryCandidates, OneLostSlaveFitsOrTheCaseIsNamedAsUndecided) {
  using V = std::vector<int>;
  // A power-cycled board on a whole line answers where it was.
  EXPECT_EQ(RecoveryCandidates({{2, false}}, 2, 3, 3), V{2});
  EXPECT_EQ(RecoveryCandidates({{2, false}}, 1, 3, 3), V{});
  // Board 2 known to pass frames (board 3 answered at position 2 when it
  // was lost), then board 3 reset: two of three answer, so board 2 is still
  // silent and the board at position 2 can only be board 3.
  EXPECT_EQ(RecoveryCandidates({{2, true}, {3, false}}, 2, 2, 3), V{3});
  // The same losses at once, nothing known: either may be the board.
  EXPECT_EQ(RecoveryCandidates({{2, false}, {3, false}}, 2, 2, 3), (V{2, 3}));
  // Board 2 answers again (all three count), reset: it is board 2, not the
  // lost board 3 behind it, which cannot have moved.
  EXPECT_EQ(RecoveryCandidates({{2, true}, {3, false}}, 2, 3, 3), V{2});
  // Two silent boards known ahead of a reset one: it moved two positions.
  EXPECT_EQ(RecoveryCandidates({{1, true}, {2, true}, {4, false}}, 2, 2, 4), V{4});
  EXPECT_EQ(RecoveryCandidates({{1, true}, {2, true}, {4, false}}, 3, 2, 4), V{});
  // One silent board not known among three lost: the shift is at most the
  // number of silent boards, so board 4 cannot have come two positions
  // forward.
  EXPECT_EQ(RecoveryCandidates({{1, false}, {2, false}, {4, false}}, 2, 3, 4), V{2});
  EXPECT_EQ(RecoveryCandidates({{1, false}, {2, false}, {4, false}}, 3, 3, 4), V{4});
  // More boards answer than the line had (a count of a broken line):
  // nothing is shifted.
  EXPECT_EQ(RecoveryCandidates({{3, false}}, 3, 5, 3), V{3});
}

// The judgement of the bus after the checks, from the manager's figures: a
// board that left OP, a lost link and a lossy line are faults; a sound bus
// and a single stall are not.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/bus_health.h"

namespace {

using ethercat_manager::BusFigures;
using ethercat_manager::SupervisionEvent;
using selftest::BusFaultLines;

SupervisionEvent Event(const char* kind, const char* board = "", int position = 0) {
  SupervisionEvent e;
  e.kind = kind;
  e.board = board;
  e.position = position;
  return e;
}

std::vector<std::string> Judge(const BusFigures& bus, bool in_op = true) {
  return BusFaultLines(bus, [in_op](const std::string&) { return in_op; });
}

TEST(BusHealth, SoundBusAndSingleStallsAreNotFaults) {
  BusFigures bus;
  bus.frames = 5000;
  EXPECT_TRUE(Judge(bus).empty());
  // Nine stalls of 8 frames each: lost in runs, not one by one.
  bus.short_wkc_frames = 72;
  bus.short_wkc_runs = 9;
  bus.short_wkc_single_runs = 0;
  EXPECT_TRUE(Judge(bus).empty());
  // A busy machine running the simulated bus: a frame or two lost now and
  // then, as measured on a 2-core machine loaded far beyond its cores.
  bus.short_wkc_frames = 3;
  bus.short_wkc_runs = 3;
  bus.short_wkc_single_runs = 3;
  EXPECT_TRUE(Judge(bus).empty());
  // A frame lost once, and a state read that got no reply, repaired by
  // nothing: no board left OP.
  bus.supervision = {Event("short_wkc"), Event("recheck", "arm", 2), Event("all_operational")};
  EXPECT_TRUE(Judge(bus).empty());
  // Many runs of single frames, but few for a long run.
  bus.frames = 100000;
  bus.short_wkc_runs = 200;
  bus.short_wkc_single_runs = 200;
  bus.short_wkc_frames = 2900;
  EXPECT_TRUE(Judge(bus).empty());
}

// The lossy-line rule at its edges: at least 6 frames lost one by one, and
// more than two frames in a thousand lost so. A line that loses one frame in
// two hundred fails a run of the example robot (about 3,500 frames, 15 to 17
// such losses); a healthy run that lost 5 on a busy machine passes; runs of
// several frames (a stall) do not count.
TEST(BusHealth, LossyLineRuleAtItsThresholds) {
  struct Case {
    unsigned long long frames, short_frames, runs, singles;
    bool fault;
  };
  const Case cases[] = {
      {3470, 16, 16, 16, true},     // one in two hundred, one by one
      {2000, 6, 6, 6, true},        // the fewest single losses that count
      {2000, 5, 5, 5, false},       // one fewer
      {3233, 5, 5, 5, false},       // the healthy run of a busy machine
      {2000, 40, 10, 5, false},     // the others were stalls of several frames
      {2000, 46, 11, 6, true},      // single losses next to stalls still count
      {4000, 8, 8, 8, false},       // 8 is not more than two in a thousand of 4000
      {4001, 9, 9, 9, true},        // 9 is
      {5000, 10, 10, 10, false},
      {100000, 201, 201, 201, true},
      {100000, 200, 200, 200, false},
      {0, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    BusFigures bus;
    bus.frames = c.frames;
    bus.short_wkc_frames = c.short_frames;
    bus.short_wkc_runs = c.runs;
    bus.short_wkc_single_runs = c.singles;
    EXPECT_EQ(Judge(bus).size(), c.fault ? 1u : 0u) << c.frames << " frames, " << c.singles << " single losses";
  }
}

TEST(BusHealth, BoardsTheLinkAndALossyLineAreNamed) {
  BusFigures bus;
  bus.frames = 3000;
  bus.short_wkc_frames = 150;
  bus.short_wkc_runs = 140;
  bus.short_wkc_single_runs = 130;
  EXPECT_EQ(Judge(bus), std::vector<std::string>{
                            "[ERROR] 150 of 3000 frames (5.0 %) came back without every board's answer during the "
                            "test, in 140 separate losses; check the cables and connectors (dcu_businfo --watch "
                            "shows the errors per port)."});

  // Two boards, their events interleaved and repeated; each named once, in
  // the order it was first seen, with what the supervision found.
  bus.supervision = {Event("short_wkc"),
                     Event("recheck", "leg", 3),
                     Event("lost", "leg", 3),
                     Event("acknowledge", "arm", 2),
                     Event("still_lost", "leg", 3),
                     Event("request_op", "arm", 2),
                     Event("still_lost", "leg", 3),
                     Event("link_lost"),
                     Event("acknowledge", "arm", 2)};
  EXPECT_EQ(Judge(bus, false),
            (std::vector<std::string>{
                "[ERROR] DCU leg (3) left OP during the test: lost; it is not in OP now.",
                "[ERROR] DCU arm (2) left OP during the test: in SAFE_OP + ERROR, in SAFE_OP; it is not in OP now.",
                "[ERROR] The EtherCAT link was lost during the test: no DCU answered.",
                "[ERROR] 150 of 3000 frames (5.0 %) came back without every board's answer during the test, in 140 "
                "separate losses; check the cables and connectors (dcu_businfo --watch shows the errors per port)."}));
}

// A board names the errors it counted at its own ports; errors it only passed
// on (its forwarded counters) and an SM watchdog alone (the supervision's
// business) name nothing.
TEST(BusHealth, BoardsWhoseOwnCountersRoseAreNamed) {
  using selftest::BoardCounterRise;
  using selftest::CounterFaultLines;
  BoardCounterRise arm{2, "arm", {}};
  arm.rise.rx_errors[0] = 30;
  arm.rise.invalid_frames[0] = 30;
  BoardCounterRise leg{3, "leg", {}};
  leg.rise.forwarded_rx_errors[0] = 30;
  leg.rise.sm_watchdog = 1;
  BoardCounterRise body{1, "body", {}};
  EXPECT_EQ(CounterFaultLines({body, arm, leg}),
            std::vector<std::string>{"[ERROR] DCU arm (2) counted errors during the test: port 0: rx errors +30, "
                                     "invalid frames +30; check the cable and connector at that port (port 0 "
                                     "comes from the computer's side)."});
  leg.rise.lost_links[1] = 1;
  EXPECT_EQ(CounterFaultLines({leg}).size(), 1u);
  body.rise.pdi_errors = 2;
  EXPECT_EQ(CounterFaultLines({body}).size(), 1u);
}

// What the boards held before discovery: the same rule as during the run,
// as a warning, and decoded from the manager's raw register reading.
TEST(BusHealth, ErrorsLeftFromBeforeAreWarnedPerBoard) {
  using selftest::BoardCounterRise;
  ethercat_manager::CounterReading reading;
  reading.position = 1;
  reading.errors[0x11] = 2;  // lost links at port 1
  reading.errors[0x09] = 7;  // forwarded at port 1
  reading.sm_watchdog = 1;
  const BoardCounterRise body{1, "body", selftest::CountersOf(reading)};
  EXPECT_EQ(selftest::LeftoverCounterLines({body}),
            std::vector<std::string>{"[WARN] DCU body (1) held errors from before this run: port 1: forwarded rx "
                                     "errors +7, lost links +2; SM watchdog +1; they are not counted against this "
                                     "run."});
  BoardCounterRise passed_on{2, "arm", {}};
  passed_on.rise.forwarded_rx_errors[0] = 9;
  passed_on.rise.sm_watchdog = 3;
  EXPECT_TRUE(selftest::LeftoverCounterLines({passed_on, BoardCounterRise{3, "leg", {}}}).empty());
  passed_on.rise.processing_unit_errors = 1;
  EXPECT_EQ(selftest::LeftoverCounterLines({passed_on}).size(), 1u);
}

}  // namespace

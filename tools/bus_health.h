// What the bus did while the checks ran, judged from the bus manager's
// figures: a registered board that left OP (the supervision had to
// acknowledge, request OP, reconfigure or recover it), a link that was lost,
// or frames that came back short often enough to be a cable and not a
// stall of this computer. Checks that pass after the supervision repaired
// the bus do not make a sound robot.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ethercat_manager/bus_recorder.h"
#include "tools/bus_survey.h"

namespace selftest {

// Short frames count as a fault when at least kMinShortRuns of their runs
// are of a single frame, and those make more than kShortRunShare of the
// frames: lost one by one, the signature of a damaged line. A sound line
// loses none. A computer (or a simulated bus) that is not scheduled in time
// loses a frame or two now and then, or a longer run in one stall: on the
// project's 2-core machine, loaded far beyond its cores (load average 10 to
// 13 with two or four CPU hogs added), 60 runs of examples/robot.yaml (2000
// to 4000 frames each) lost single frames at most twice in a run. A line
// that loses one frame in two hundred lost them one by one 5 to 26 times
// per run of the same robot (20 runs).
constexpr double kShortRunShare = 0.001;
constexpr unsigned long long kMinShortRuns = 4;

// One "[ERROR] ..." line per fault found, in the order: boards by their first
// event, the lost link, the short frames. Empty for a sound bus. in_op tells
// whether a DCU (by name) is in OP now.
std::vector<std::string> BusFaultLines(const ethercat_manager::BusFigures& bus,
                                       const std::function<bool(const std::string&)>& in_op);

// How much a DCU board's error counters rose during the test.
struct BoardCounterRise {
  int position = 0;
  std::string name;
  businfo::Counters rise;
};

// One "[ERROR] ..." line per board whose own counters rose: RX or invalid
// frames or lost links at one of its ports, processing-unit or PDI errors.
// A sound line counts none of these; errors that only passed through a
// board (its forwarded counters) are the board's before it.
std::vector<std::string> CounterFaultLines(const std::vector<BoardCounterRise>& boards);

// One "[WARN] ..." line per board whose counters held errors of its own
// before discovery, i.e. left from before this run (rise = the counters as
// read then). They do not count against the run.
std::vector<std::string> LeftoverCounterLines(const std::vector<BoardCounterRise>& boards);

// A reading of the bus manager as the bus survey decodes it.
businfo::Counters CountersOf(const ethercat_manager::CounterReading& reading);

}  // namespace selftest

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
// loses a frame now and then, or a longer run in one stall. Measured on the
// project's 2-core machine with examples/robot.yaml (robot_selftest, about
// 3,300 to 3,500 frames a run, the simulator in its own process): the
// healthy robot lost at most 1 frame on its own in each of 27 runs with two
// CPU hogs (15 of it, 12 of examples/single_dcu.yaml), 0 to 2 in 60 runs at a load average of 10 to 13, and once 5 (of
// 3,233 frames, 0.15 %) in a test-suite run; a line that loses one frame in
// two hundred lost 15 to 17 one by one in each of 20 runs (and 5 to 26 over
// 1,827 to 3,956 frames with other seeds). The rule sits between the two:
// at least 6, and more than 0.2 % of the frames.
constexpr double kShortRunShare = 0.002;
constexpr unsigned long long kMinShortRuns = 6;

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

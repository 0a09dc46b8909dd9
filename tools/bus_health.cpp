#include "tools/bus_health.h"

#include <algorithm>
#include <cstdio>

namespace selftest {

namespace {

// What a supervision event says of its board, or null when it does not show
// the board outside OP: a state read that got no reply ("recheck") happens
// when one frame is lost, and "still_lost" repeats "lost".
const char* BoardEventText(const std::string& kind) {
  if (kind == "acknowledge") return "in SAFE_OP + ERROR";
  if (kind == "request_op") return "in SAFE_OP";
  if (kind == "lost") return "lost";
  if (kind == "reconfigure") return "in INIT or PRE_OP";
  if (kind == "recovered") return "recovered";
  if (kind == "found") return "found again";
  return nullptr;
}

struct BoardFaults {
  int position = 0;
  std::string name;
  std::vector<std::string> seen;
};

}  // namespace

std::vector<std::string> BusFaultLines(const ethercat_manager::BusFigures& bus,
                                       const std::function<bool(const std::string&)>& in_op) {
  std::vector<BoardFaults> boards;
  bool link_lost = false;
  for (const auto& e : bus.supervision) {
    if (e.kind == "link_lost") link_lost = true;
    const char* text = BoardEventText(e.kind);
    if (text == nullptr || e.board.empty()) continue;
    auto it = std::find_if(boards.begin(), boards.end(), [&](const BoardFaults& b) { return b.position == e.position; });
    if (it == boards.end()) it = boards.insert(boards.end(), BoardFaults{e.position, e.board, {}});
    if (std::find(it->seen.begin(), it->seen.end(), text) == it->seen.end()) it->seen.push_back(text);
  }

  std::vector<std::string> lines;
  for (const BoardFaults& b : boards) {
    std::string line = "[ERROR] DCU " + b.name + " (" + std::to_string(b.position) + ") left OP during the test: ";
    for (size_t i = 0; i < b.seen.size(); ++i) line += (i ? ", " : "") + b.seen[i];
    line += in_op(b.name) ? "; it is back in OP." : "; it is not in OP now.";
    lines.push_back(line);
  }
  if (link_lost) lines.push_back("[ERROR] The EtherCAT link was lost during the test: no DCU answered.");
  const unsigned long long frames = bus.frames;
  const unsigned long long short_frames = bus.short_wkc_frames;
  const unsigned long long runs = bus.short_wkc_runs;
  const unsigned long long singles = bus.short_wkc_single_runs;
  if (singles >= kMinShortRuns && static_cast<double>(singles) > kShortRunShare * static_cast<double>(frames)) {
    // Lost one by one: the signature of a damaged line, whatever else the
    // supervision found.
    char text[320];
    std::snprintf(text, sizeof text,
                  "[ERROR] %llu of %llu frames (%.1f %%) came back without every board's answer during the test, "
                  "in %llu separate losses; check the cables and connectors (dcu_businfo --watch shows the errors "
                  "per port).",
                  short_frames, frames, 100.0 * static_cast<double>(short_frames) / static_cast<double>(frames), runs);
    lines.push_back(text);
  }
  return lines;
}

namespace {

// Errors a board counted itself: RX or invalid frames or lost links at one
// of its ports, processing-unit or PDI errors.
bool OwnErrors(const businfo::Counters& c) {
  bool own = c.processing_unit_errors > 0 || c.pdi_errors > 0;
  for (int n = 0; n < businfo::kPorts; ++n) own = own || c.rx_errors[n] || c.invalid_frames[n] || c.lost_links[n];
  return own;
}

}  // namespace

std::vector<std::string> LeftoverCounterLines(const std::vector<BoardCounterRise>& boards) {
  std::vector<std::string> lines;
  for (const BoardCounterRise& b : boards) {
    if (!OwnErrors(b.rise)) continue;
    lines.push_back("[WARN] DCU " + b.name + " (" + std::to_string(b.position) +
                    ") held errors from before this run: " + businfo::DescribeChange(b.rise) +
                    "; they are not counted against this run.");
  }
  return lines;
}

businfo::Counters CountersOf(const ethercat_manager::CounterReading& reading) {
  return businfo::DecodeCounters(reading.errors.data(), reading.sm_watchdog);
}

std::vector<std::string> CounterFaultLines(const std::vector<BoardCounterRise>& boards) {
  std::vector<std::string> lines;
  for (const BoardCounterRise& b : boards) {
    const businfo::Counters& c = b.rise;
    if (!OwnErrors(c)) continue;
    lines.push_back("[ERROR] DCU " + b.name + " (" + std::to_string(b.position) +
                    ") counted errors during the test: " + businfo::DescribeChange(c) +
                    "; check the cable and connector at that port (port 0 comes from the computer's side).");
  }
  return lines;
}

}  // namespace selftest

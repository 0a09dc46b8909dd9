// The scenario player: DcuSimulator.scenario's control commands, each played
// when its time has come, counted from the first process-data frame the
// network sees. The frame path calls it with the network's lock held, so a
// command takes effect on the frame that reached its time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/sim_config.h"

namespace dcusim {

// Splits a command line into words; false with the control socket's reply
// when it is empty or holds non-printable characters.
bool SplitCommand(const std::string& line, std::vector<std::string>* words, std::string* reply);

// Checks every entry of plan.scenario on a network built from plan, as the
// control socket would take it; false with the entry's key path and the
// refusal in *error.
bool CheckScenario(const NetworkPlan& plan, std::string* error);

class ScenarioPlayer {
 public:
  void Load(const std::vector<ScenarioStep>& steps) { steps_ = steps; }
  bool empty() const { return steps_.empty(); }

  // The commands whose time has come at this frame, in order; the clock
  // starts at the first process-data frame (first datagram LRD, LWR or LRW).
  template <typename Run>
  void OnFrame(const uint8_t* frame, size_t len, uint64_t now, Run run) {
    if (next_ >= steps_.size()) return;
    if (!started_) {
      if (!IsProcessData(frame, len)) return;
      started_ = true;
      start_ns_ = now;
    }
    while (next_ < steps_.size() && static_cast<double>(now - start_ns_) >= steps_[next_].at_ms * 1e6) {
      run(steps_[next_]);
      ++next_;
    }
  }

  static bool IsProcessData(const uint8_t* frame, size_t len);

 private:
  std::vector<ScenarioStep> steps_;
  size_t next_ = 0;
  bool started_ = false;
  uint64_t start_ns_ = 0;
};

}  // namespace dcusim

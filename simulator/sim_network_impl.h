// The state behind SimNetwork, shared by the frame path (sim_network.cc) and
// the control commands (sim_commands.cc). Internal to the simulator library:
// every member is used with `mu` held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "simulator/dcu_device.h"
#include "simulator/esc.h"
#include "simulator/frame_stats.h"
#include "simulator/scenario_player.h"
#include "simulator/sim_config.h"
#include "simulator/sim_network.h"

namespace dcusim {

struct Board {
  int position = 0;
  std::unique_ptr<Esc> esc;
  DcuDevice* dcu = nullptr;  // owned by esc when the board is a DCU
  std::string dcu_name;
  uint32_t forward_delay_ns = 0;
  bool silent = false;
  uint8_t ports_down = 0;  // bit n: port n's link taken down by a command
};

struct ActuatorRef {
  int board = 0;  // index into boards
  int channel = 0;
  int id = 0;
  ActuatorModel* model = nullptr;
};

struct SimNetwork::Impl {
  mutable std::mutex mu;
  NetworkPlan plan;
  std::vector<Board> boards;
  std::unordered_map<std::string, ActuatorRef> actuators;
  std::vector<std::string> actuator_order;
  bool cable_pulled = false;
  int cable_after = 0;
  double loss = 0;
  std::mt19937_64 rng;
  std::uniform_real_distribution<double> uniform{0.0, 1.0};
  FrameStats stats;
  std::vector<Datagram> datagrams;
  std::vector<FrameTiming> timing;
  uint64_t last_now = 0;  // host time of the latest frame
  ScenarioPlayer scenario;
  std::vector<std::string> scenario_log;  // "at T ms: COMMAND -> REPLY" per played entry

  // The boards and actuators of a plan, ready for frames.
  static std::unique_ptr<Impl> Build(const NetworkPlan& plan);

  // A cut between board j and board j + 1 (j = 0: between the master and
  // board 1): a pulled cable or a port taken down on either side.
  bool CutAfter(size_t j) const {
    if (cable_pulled && static_cast<size_t>(cable_after) == j) return true;
    if (j >= 1 && j <= boards.size() && (boards[j - 1].ports_down & 0x02)) return true;
    return j < boards.size() && (boards[j].ports_down & 0x01);
  }
  // Number of boards a frame reaches.
  size_t Reach() const {
    for (size_t j = 0; j < boards.size(); ++j) {
      if (CutAfter(j)) return j;
    }
    return boards.size();
  }
  // Tells every controller which of its ports has a link: port 0 unless the
  // cable into it is cut, port 1 unless it is the last board or the cable
  // out of it is cut.
  void UpdateLinks(bool count_losses) {
    for (size_t k = 0; k < boards.size(); ++k) {
      uint8_t links = CutAfter(k) ? 0 : 0x01;
      if (k + 1 < boards.size() && !CutAfter(k + 1)) links |= 0x02;
      boards[k].esc->SetLinks(links, count_losses);
    }
  }
  // The cable pulled after board `after` (0: before the first board), or
  // whole again. Shared by the typed setter and the `cable` command.
  void SetCable(bool pulled, int after) {
    cable_pulled = pulled;
    cable_after = pulled ? after : 0;
    UpdateLinks(pulled);
  }

  int ReferenceBoard() const {
    for (size_t i = 0; i < boards.size(); ++i) {
      if (boards[i].esc->has_dc()) return static_cast<int>(i);
    }
    return -1;
  }

  // The frame path (sim_network.cc).
  bool Process(uint8_t* frame, size_t len, uint64_t now);
  bool SplitDatagrams(uint8_t* frame, size_t len);
  void TimeThroughLine(size_t reach, uint64_t now);
  void RecordProcessData(size_t reach, uint64_t now);

  // Plays the scenario entries due at this frame (scenario_player.cc).
  void PlayScenario(const uint8_t* frame, size_t len, uint64_t now);

  // One control command, split into words (sim_commands.cc).
  std::string Execute(const std::vector<std::string>& words, uint64_t now);
};

}  // namespace dcusim

// Reads the network to simulate from a configuration file: the DCUs and
// actuators of "ZorvikController" / "dcu_network" and the simulation-only
// settings under "DcuSimulator".
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "simulator/dcu_device.h"
#include "simulator/sii_image.h"

namespace dcusim {

// Identity of the boards unless the configuration says otherwise.
constexpr uint32_t kDefaultVendorId = 0x005A5256;
constexpr uint32_t kDefaultProductCode = 0x0000DC01;
constexpr uint32_t kDefaultRevision = 0x00010000;
constexpr int kMaxBoards = 512;

struct ActuatorPlan {
  std::string name;
  const ActuatorKind* kind = nullptr;  // row of the actuator model table
  int channel = 0;  // 0..2
  int id = 1;       // 1..8
  ActuatorFault fault = ActuatorFault::kNone;
  double travel_limit = std::numeric_limits<double>::infinity();
};

struct BoardPlan {
  int position = 0;
  bool is_dcu = true;          // has the DCU device model behind its controller
  std::string dcu_name;        // from dcu_network ("" for fillers and extras)
  SiiContent sii;
  bool dc = true;
  double drift_ppm = 0;
  uint32_t forward_delay_ns = 800;
  uint16_t watchdog_time = 1000;  // 100 µs units
  bool silent = false;
  ImuSettings imu;
  std::vector<ActuatorPlan> actuators;
};

// One entry of DcuSimulator.scenario: a control command played when
// at_ms have passed since the first process-data frame.
struct ScenarioStep {
  double at_ms = 0;
  std::string command;
};

struct NetworkPlan {
  std::string master_ifname;
  uint64_t cycle_time_ns = 0;
  bool enable_dc = true;
  std::vector<BoardPlan> boards;  // index = position - 1
  double frame_loss = 0;
  uint64_t seed = 1;
  double late_threshold = 0.25;   // fraction of a cycle
  bool require_dc_for_op = false;
  bool op_requires_outputs = false;
  bool outputs_count_in_safe_op = true;
  Dynamics dynamics;
  std::vector<ScenarioStep> scenario;  // in the order they are played
  std::vector<std::string> warnings;
};

// Returns false with a message naming the offending key on bad settings.
bool ParseNetworkPlan(const std::string& yaml_text, NetworkPlan* out, std::string* error);

}  // namespace dcusim

// The part of a self-test program's set-up that only reads the configuration:
// the top-level keys under "ZorvikController" and the model texts. Kept apart
// from the controller so that it can be exercised without a bus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "controller/actuator.h"
#include "tools/ethercat_config.h"

namespace selftest {

// Highest value that fits the controller's 8-bit EtherCAT and CAN ids.
constexpr uint32_t kMaxBusId = 255;

// What dcu_selftest takes from the file.
struct DcuToolConfig {
  YAML::EthercatConfig ethercat;
  std::vector<YAML::DcuConfig> dcu_network;
};

// What robot_selftest takes from the file.
struct RobotToolConfig {
  bool move_actuator = false;
  std::string imu_dcu_name;
  YAML::EthercatConfig ethercat;
  std::vector<YAML::DcuConfig> dcu_network;
};

// Read "ethercat" then "dcu_network" under "ZorvikController". Every key is
// required; a missing key or a value of the wrong form throws the yaml-cpp
// exception (after the decoder's own line, when a decoder failed).
DcuToolConfig ReadDcuToolConfig(const YAML::Node& document);
// Read "move_actuator", "imu_dcu_name", "ethercat", "dcu_network", in this
// order, with the same rules.
RobotToolConfig ReadRobotToolConfig(const YAML::Node& document);

// Model text to actuator type: exact, case-sensitive match of the whole
// text; anything else is TYPE_NONE, which the controller refuses.
zorvik::ActuatorType ActuatorTypeFromText(const std::string& text);

}  // namespace selftest

// The part of a self-test program's set-up that only reads the configuration:
// the top-level keys under "ZorvikController" and the model texts. Kept apart
// from the controller so that it can be exercised without a bus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "controller/actuator_models.h"
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
// required; a missing key or a value of the wrong form throws a
// ConfigKeyError (a YAML::Exception) whose text is yaml-cpp's followed by the
// key's path; when a decoder failed, its own line is printed first.
//
// Then the file is checked for the mistakes that would otherwise test a robot
// other than the one described, each refused with a ConfigKeyError naming
// the key: two enabled DCUs with one name or one ecat_id (disabled records
// do not count: two alternative boards at one position are fine), a key of
// a DCU record that looks like a channel but is not channel_1, channel_2 or
// channel_3, a control character in any name (interface, DCU,
// actuator, imu_dcu_name), which would otherwise reach the terminal, and a
// key written twice in one map (yaml-cpp would read the first and drop the
// other without a word).
DcuToolConfig ReadDcuToolConfig(const YAML::Node& document);
// Read "move_actuator", "imu_dcu_name", "ethercat", "dcu_network", in this
// order, with the same rules.
RobotToolConfig ReadRobotToolConfig(const YAML::Node& document);

// Whether text holds a control character (C0, DEL, or a C1 control encoded
// in UTF-8), and text with such characters written as \xNN.
bool HasControlCharacter(const std::string& text);
std::string EscapeControlCharacters(const std::string& text);

// Model text to actuator type: exact, case-sensitive match of the whole
// text; anything else is TYPE_NONE, which the controller refuses.
zorvik::ActuatorType ActuatorTypeFromText(const std::string& text);

}  // namespace selftest

// The part of a self-test program's set-up that only reads the configuration:
// the top-level keys under "ZorvikController" and the model texts. Kept apart
// from the controller so that it can be exercised without a bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "controller/actuator_models.h"
#include "tools/ethercat_config.h"

namespace selftest {

// Highest value that fits the controller's 8-bit EtherCAT and CAN ids.
constexpr uint32_t kMaxBusId = 255;

// Largest configuration file the programs read. A robot's file is a few
// kilobytes; anything near this is not one, and reading it would only cost
// memory and time.
constexpr size_t kMaxConfigBytes = 1024 * 1024;
// Most nodes the reading visits under "ZorvikController", an alias counted
// each time it is met, and the deepest nesting there. A robot of 8 DCUs with
// 24 actuators each is about 850 nodes 6 levels deep; a chain of aliases
// that doubles at every step ("billion laughs") is refused at these bounds
// instead of keeping a CPU busy for ever.
constexpr size_t kMaxConfigNodes = 10000;
constexpr size_t kMaxConfigDepth = 32;

// A configuration file that cannot be read. what() is "bad file: PATH"
// (yaml-cpp's text for a file that cannot be opened) followed, for a file
// that opens but is refused, by ": " and the reason.
class ConfigFileError : public YAML::Exception {
 public:
  explicit ConfigFileError(const std::string& text);
};

// The reading gave up because an interrupt arrived; not a fault of the file.
class ConfigReadInterrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted while reading the configuration"; }
};

// The bytes of the configuration file at path. Only a regular file is read
// (a directory, FIFO, socket or device is refused without waiting on it),
// and only one of at most kMaxConfigBytes. Throws ConfigFileError.
std::string ReadConfigFile(const std::string& path);

// The YAML document in bytes, as YAML::Load reads it, stopping at an
// interrupt (see below) between blocks of a few kilobytes.
YAML::Node LoadConfig(const std::string& bytes);

// A check the reading makes between blocks of the file and every few
// hundred nodes it visits; once it returns true the reading stops with
// ConfigReadInterrupted. Null (the default): never.
void SetConfigReadInterruptCheck(bool (*interrupted)());

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
// do not count: two alternative boards at one position are fine), more
// enabled DCUs than the process image holds, a cycle time outside 1 ns to
// 2^32-1 ns, a key of a DCU record or an actuator entry that the programs do
// not read (a mistyped channel key would leave its actuators untested), a
// control character in any name (interface, DCU, actuator, imu_dcu_name),
// which would otherwise reach the terminal, a key written twice in one map
// (yaml-cpp would read the first and drop the other without a word), and a
// file past kMaxConfigNodes or kMaxConfigDepth.
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

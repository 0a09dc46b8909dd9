// Configuration records of the self-test programs and their YAML decoders.
//
// The records live in namespace YAML because their decoders are
// specialisations of yaml-cpp's conversion extension point, so that a tool
// can write node.as<YAML::EthercatConfig>() or
// node.as<std::vector<YAML::DcuConfig>>().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "ethercat_manager/ethercat_node.h"

namespace YAML {

// Bus settings as read from the file: the bus manager's own record, so that
// the values reach it unchanged through the controller's SetRealtime and
// Start. The decoder below sets all five fields or refuses the node; the
// record's defaults are the manager's.
using EthercatConfig = ethercat_manager::EthercatConfig;

// One DCU board and the actuators on its three channels.
struct DcuConfig {
  struct Actuator {
    std::string name;
    std::string type;
    uint32_t can_id = 0;
  };

  std::string name;
  bool enable = false;
  bool imu_enable = false;
  uint32_t ecat_id = 0;
  // Index 0, 1, 2 = keys channel_1, channel_2, channel_3.
  std::array<std::vector<Actuator>, 3> channels;
};

// Reads the five keys of the "ethercat" map. On a yaml-cpp error prints
// "Parse EtherConfig failed, <reason>" and returns false.
template <>
struct convert<EthercatConfig> {
  static bool decode(const Node& node, EthercatConfig& out);
};

// Reads the "dcu_network" sequence, appending one record per element. On a
// yaml-cpp error prints "Parse DcuNetworkConfig failed, <reason>" and
// returns false; the elements decoded before the error stay in out.
template <>
struct convert<std::vector<DcuConfig>> {
  static bool decode(const Node& node, std::vector<DcuConfig>& out);
};

}  // namespace YAML

namespace selftest {

// A configuration value that cannot be used, with the path of its key, for
// example "ZorvikController.dcu_network[1].ecat_id". what() is the reason
// (yaml-cpp's own text when yaml-cpp refused the value) followed by
// " (key path: <path>)". Derived from YAML::Exception, so that whoever catches
// yaml-cpp's exceptions catches it too.
class ConfigKeyError : public YAML::Exception {
 public:
  ConfigKeyError(std::string reason, std::string key_path);
  const std::string& reason() const { return reason_; }
  const std::string& key_path() const { return key_path_; }

 private:
  std::string reason_;
  std::string key_path_;
};

// The record names in the decoders' line "Parse <name> failed, <reason>".
inline constexpr char kEthercatRecordName[] = "EtherConfig";
inline constexpr char kNetworkRecordName[] = "DcuNetworkConfig";

// The decoders' work, naming the key path (path = where node sits, e.g.
// "ZorvikController.ethercat") in the ConfigKeyError they throw; they print
// nothing. The YAML::convert decoders above are these plus their one line.
void DecodeEthercatConfig(const YAML::Node& node, const std::string& path,
                          YAML::EthercatConfig& out);
// A null node is an empty network; any other node that is not a sequence
// is refused, and so is a channel key whose value is neither a sequence nor
// null.
void DecodeDcuNetwork(const YAML::Node& node, const std::string& path,
                      std::vector<YAML::DcuConfig>& out);

}  // namespace selftest

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

namespace YAML {

// Bus settings as read from the file; the tools hand them to the
// controller's SetRealtime and Start.
struct EthercatConfig {
  std::string ifname;
  bool enable_dc = false;
  int32_t bind_cpu = 0;
  int32_t rt_priority = 0;
  uint64_t cycle_time_ns = 0;
};

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

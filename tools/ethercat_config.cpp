#include "tools/ethercat_config.h"

#include <cstdio>

namespace YAML {

bool convert<EthercatConfig>::decode(const Node& node, EthercatConfig& out) {
  try {
    out.ifname = node["ifname"].as<std::string>();
    out.enable_dc = node["enable_dc"].as<bool>();
    out.bind_cpu = node["bind_cpu"].as<int>();
    out.rt_priority = node["rt_priority"].as<int>();
    out.cycle_time_ns = node["cycle_time_ns"].as<unsigned long>();
  } catch (const Exception& e) {
    std::printf("Parse EtherConfig failed, %s\n", e.what());
    return false;
  }
  return true;
}

bool convert<std::vector<DcuConfig>>::decode(const Node& node, std::vector<DcuConfig>& out) {
  static const char* const kChannelKeys[3] = {"channel_1", "channel_2", "channel_3"};
  try {
    for (const auto& element : node) {
      DcuConfig dcu;
      dcu.name = element["name"].as<std::string>();
      dcu.ecat_id = element["ecat_id"].as<unsigned int>();
      dcu.enable = element["enable"].as<bool>();
      dcu.imu_enable = element["imu_enable"].as<bool>();
      for (size_t i = 0; i < dcu.channels.size(); ++i) {
        const Node channel = element[kChannelKeys[i]];
        if (!channel.IsDefined()) continue;
        for (const auto& entry : channel) {
          DcuConfig::Actuator actuator;
          actuator.name = entry["name"].as<std::string>();
          actuator.type = entry["type"].as<std::string>();
          actuator.can_id = entry["can_id"].as<unsigned int>();
          dcu.channels[i].push_back(std::move(actuator));
        }
      }
      out.push_back(std::move(dcu));
    }
  } catch (const Exception& e) {
    std::printf("Parse DcuNetworkConfig failed, %s\n", e.what());
    return false;
  }
  return true;
}

}  // namespace YAML

#include "tools/ethercat_config.h"

#include <cstdio>

namespace selftest {

namespace {

// map[key] as T; whatever yaml-cpp refuses (a missing key, a value of the
// wrong form, a map that is not one) comes back naming the key's path.
template <typename T>
T Read(const YAML::Node& map, const char* key, const std::string& path) {
  try {
    return map[key].as<T>();
  } catch (const ConfigKeyError&) {
    throw;
  } catch (const YAML::Exception& e) {
    throw ConfigKeyError(e.what(), path + "." + key);
  }
}

// yaml-cpp's conversion error for a node that must hold a list.
[[noreturn]] void NotAList(const YAML::Node& node, const std::string& path) {
  throw ConfigKeyError(std::string(YAML::BadConversion(node.Mark()).what()) + ", expected a list",
                       path);
}

}  // namespace

ConfigKeyError::ConfigKeyError(std::string reason, std::string key_path)
    : YAML::Exception(YAML::Mark::null_mark(), reason + " (key path: " + key_path + ")"),
      reason_(std::move(reason)),
      key_path_(std::move(key_path)) {}

void DecodeEthercatConfig(const YAML::Node& node, const std::string& path,
                          YAML::EthercatConfig& out) {
  out.ifname = Read<std::string>(node, "ifname", path);
  out.enable_dc = Read<bool>(node, "enable_dc", path);
  out.bind_cpu = Read<int>(node, "bind_cpu", path);
  out.rt_priority = Read<int>(node, "rt_priority", path);
  out.cycle_time_ns = Read<unsigned long>(node, "cycle_time_ns", path);
}

void DecodeDcuNetwork(const YAML::Node& node, const std::string& path,
                      std::vector<YAML::DcuConfig>& out) {
  static const char* const kChannelKeys[3] = {"channel_1", "channel_2", "channel_3"};
  if (node.IsNull()) return;
  if (!node.IsSequence()) NotAList(node, path);
  size_t index = 0;
  for (const auto& element : node) {
    const std::string at = path + "[" + std::to_string(index++) + "]";
    YAML::DcuConfig dcu;
    dcu.name = Read<std::string>(element, "name", at);
    dcu.ecat_id = Read<unsigned int>(element, "ecat_id", at);
    dcu.enable = Read<bool>(element, "enable", at);
    dcu.imu_enable = Read<bool>(element, "imu_enable", at);
    for (size_t i = 0; i < dcu.channels.size(); ++i) {
      const YAML::Node channel = element[kChannelKeys[i]];
      if (!channel.IsDefined() || channel.IsNull()) continue;
      const std::string channel_path = at + "." + kChannelKeys[i];
      if (!channel.IsSequence()) NotAList(channel, channel_path);
      size_t entry_index = 0;
      for (const auto& entry : channel) {
        const std::string entry_path = channel_path + "[" + std::to_string(entry_index++) + "]";
        YAML::DcuConfig::Actuator actuator;
        actuator.name = Read<std::string>(entry, "name", entry_path);
        actuator.type = Read<std::string>(entry, "type", entry_path);
        actuator.can_id = Read<unsigned int>(entry, "can_id", entry_path);
        dcu.channels[i].push_back(std::move(actuator));
      }
    }
    out.push_back(std::move(dcu));
  }
}

}  // namespace selftest

namespace {

// Runs decode, printing the decoder's one line when it refuses the node:
// yaml-cpp's own text, without the key path, which the programs add to their
// own error line.
template <typename T>
bool DecodeOrPrint(const char* record, void (*decode)(const YAML::Node&, const std::string&, T&),
                   const YAML::Node& node, const char* path, T& out) {
  try {
    decode(node, path, out);
  } catch (const selftest::ConfigKeyError& e) {
    std::printf("Parse %s failed, %s\n", record, e.reason().c_str());
    return false;
  } catch (const YAML::Exception& e) {
    std::printf("Parse %s failed, %s\n", record, e.what());
    return false;
  }
  return true;
}

}  // namespace

namespace YAML {

bool convert<EthercatConfig>::decode(const Node& node, EthercatConfig& out) {
  return DecodeOrPrint(selftest::kEthercatRecordName, selftest::DecodeEthercatConfig, node, "ethercat",
                       out);
}

bool convert<std::vector<DcuConfig>>::decode(const Node& node, std::vector<DcuConfig>& out) {
  return DecodeOrPrint(selftest::kNetworkRecordName, selftest::DecodeDcuNetwork, node, "dcu_network",
                       out);
}

}  // namespace YAML

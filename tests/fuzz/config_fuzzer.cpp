// Feeds arbitrary bytes to the configuration reading of both self-test
// programs, as a YAML document: the top-level keys, both decoders and the
// model texts. The programs catch std::exception around exactly this
// reading, so that is all that may escape it; anything else (another
// exception, a crash, a sanitizer report) is a fault. So is a file that is
// read although it holds what the reading must refuse (a control character
// in a name, two enabled DCUs at one position or under one name), and an
// error text that would carry a control character to the terminal.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "tools/selftest_config.h"

namespace {

void Require(bool holds) {
  if (!holds) __builtin_trap();
}

// What the programs do with each actuator entry before handing it on, and
// what a file that was read must satisfy.
void Inspect(const YAML::EthercatConfig& ethercat, const std::vector<YAML::DcuConfig>& network) {
  Require(!selftest::HasControlCharacter(ethercat.ifname));
  std::set<std::string> names;
  std::set<uint32_t> ids;
  for (const auto& dcu : network) {
    Require(!selftest::HasControlCharacter(dcu.name));
    if (dcu.enable) {
      Require(names.insert(dcu.name).second);
      Require(ids.insert(dcu.ecat_id).second);
    }
    for (const auto& channel : dcu.channels) {
      for (const auto& actuator : channel) {
        Require(!selftest::HasControlCharacter(actuator.name));
        selftest::ActuatorTypeFromText(actuator.type);
      }
    }
  }
}

void InspectRefusal(const selftest::ConfigKeyError& e) {
  Require(!selftest::HasControlCharacter(e.what()));
  Require(!e.key_path().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  YAML::Node document;
  try {
    document = YAML::Load(text);
  } catch (const std::exception&) {
    return 0;
  }
  try {
    const selftest::DcuToolConfig config = selftest::ReadDcuToolConfig(document);
    Inspect(config.ethercat, config.dcu_network);
  } catch (const selftest::ConfigKeyError& e) {
    InspectRefusal(e);
  } catch (const std::exception&) {
  }
  try {
    const selftest::RobotToolConfig config = selftest::ReadRobotToolConfig(document);
    Require(!selftest::HasControlCharacter(config.imu_dcu_name));
    Inspect(config.ethercat, config.dcu_network);
  } catch (const selftest::ConfigKeyError& e) {
    InspectRefusal(e);
  } catch (const std::exception&) {
  }
  return 0;
}

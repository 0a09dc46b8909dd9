// Feeds arbitrary bytes to the configuration reading of both self-test
// programs, as a YAML document: the top-level keys, both decoders and the
// model texts. The programs catch std::exception around exactly this
// reading, so that is all that may escape it; anything else (another
// exception, a crash, a sanitizer report) is a fault.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include <yaml-cpp/yaml.h>

#include "tools/selftest_config.h"

namespace {

// What the programs do with each actuator entry before handing it on.
void Inspect(const std::vector<YAML::DcuConfig>& network) {
  for (const auto& dcu : network) {
    for (const auto& channel : dcu.channels) {
      for (const auto& actuator : channel) selftest::ActuatorTypeFromText(actuator.type);
    }
  }
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
    Inspect(selftest::ReadDcuToolConfig(document).dcu_network);
  } catch (const std::exception&) {
  }
  try {
    Inspect(selftest::ReadRobotToolConfig(document).dcu_network);
  } catch (const std::exception&) {
  }
  return 0;
}

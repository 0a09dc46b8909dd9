#include "tools/selftest_config.h"

namespace selftest {

namespace {

// A const view of the document, so that a missing key yields yaml-cpp's
// "invalid node; first invalid key" error naming it instead of an empty node.
YAML::Node Root(const YAML::Node& document) {
  const YAML::Node& doc = document;
  return doc["ZorvikController"];
}

}  // namespace

DcuToolConfig ReadDcuToolConfig(const YAML::Node& document) {
  const YAML::Node root = Root(document);
  DcuToolConfig config;
  config.ethercat = root["ethercat"].as<YAML::EthercatConfig>();
  config.dcu_network = root["dcu_network"].as<std::vector<YAML::DcuConfig>>();
  return config;
}

RobotToolConfig ReadRobotToolConfig(const YAML::Node& document) {
  const YAML::Node root = Root(document);
  RobotToolConfig config;
  config.move_actuator = root["move_actuator"].as<bool>();
  config.imu_dcu_name = root["imu_dcu_name"].as<std::string>();
  config.ethercat = root["ethercat"].as<YAML::EthercatConfig>();
  config.dcu_network = root["dcu_network"].as<std::vector<YAML::DcuConfig>>();
  return config;
}

zorvik::ActuatorType ActuatorTypeFromText(const std::string& text) {
  if (text == "KINETRA_A90") return zorvik::KINETRA_A90;
  if (text == "KINETRA_A50") return zorvik::KINETRA_A50;
  if (text == "KINETRA_B30") return zorvik::KINETRA_B30;
  if (text == "CLAVIX") return zorvik::CLAVIX;
  return zorvik::TYPE_NONE;
}

}  // namespace selftest

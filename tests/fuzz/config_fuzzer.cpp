// Feeds arbitrary bytes to the configuration reading of both self-test
// programs, as a YAML document: the top-level keys, both decoders and the
// model texts, through the same parse as the programs (LoadConfig), so that
// anchors and aliases meet the bounded walk. An input that starts with
// "#dir" or "#fifo" is also handed to the file reading as the path of a
// directory or a FIFO of that name, which must be refused at once. The programs catch std::exception around exactly this
// reading, so that is all that may escape it; anything else (another
// exception, a crash, a sanitizer report) is a fault. So is a file that is
// read although it holds what the reading must refuse (a control character
// in a name, two enabled DCUs at one position or under one name), and an
// error text that would carry a control character to the terminal.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// A folder of this process for the files that are not files.
const std::string& Scratch() {
  static const std::string* path = [] {
    char tmpl[] = "/tmp/config_fuzzer.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made != nullptr) std::atexit([] { rmdir(Scratch().c_str()); });
    return new std::string(made == nullptr ? "/tmp" : made);
  }();
  return *path;
}

// A directory or FIFO where a configuration file is expected.
void ReadNonFile(const std::string& text) {
  const bool directory = text.rfind("#dir", 0) == 0;
  if (!directory && text.rfind("#fifo", 0) != 0) return;
  const std::string path = Scratch() + (directory ? "/dir" : "/fifo");
  if (directory ? mkdir(path.c_str(), 0700) : mkfifo(path.c_str(), 0600)) return;
  bool refused = false;
  try {
    selftest::ReadConfigFile(path);
  } catch (const selftest::ConfigFileError&) {
    refused = true;
  }
  directory ? rmdir(path.c_str()) : unlink(path.c_str());
  Require(refused);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ReadNonFile(text);
  YAML::Node document;
  try {
    document = selftest::LoadConfig(text);
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

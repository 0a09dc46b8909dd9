// dcu_selftest: checks a network of DCU boards. The bus comes up, the IMU of
// the first configured DCU reads a gravity vector of about 9.8 and every
// configured actuator answers a shake-hand. Nothing is enabled or moved.
//
// Usage: dcu_selftest CONFIG.yaml. The exit status is 0 whatever the verdict
// (130 when interrupted by Ctrl-C or SIGTERM); results go to standard output,
// and to report files when SELFTEST_OUTPUT names them.

#include <string>
#include <utility>

#include <yaml-cpp/yaml.h>

#include "controller/zorvik_controller.h"
#include "tools/program_info.h"
#include "tools/selftest_config.h"
#include "tools/selftest_run.h"

namespace {

const selftest::ToolTexts kTexts = {
    "dcu_selftest",
    "DCU",
    "[TEST] **************** 开始测试 ****************",
    "[TEST] **************** 测试通过 ****************",
    "[TEST] **************** 测试失败 ****************",
    "[TEST] EtherCAT **************************** PASS",
    "[TEST] EtherCAT **************************** FAIL",
    "[TEST] IMU ********************************* PASS",
    "[TEST] IMU ********************************* FAIL",
    "[TEST] %s ****************************** PASS",
    "[TEST] %s ****************************** FAIL",
};

void ReadConfig(const YAML::Node& document, selftest::SelftestRun& run) {
  selftest::DcuToolConfig config = selftest::ReadDcuToolConfig(document);
  run.ecat_cfg_ = config.ethercat;
  run.dcu_network_cfg_ = std::move(config.dcu_network);
}

int RunChecks(selftest::SelftestRun& run) {
  // The first DCU of the file, whatever its flags. With no DCU at all there
  // is nothing to read, which counts as a failed IMU test.
  int failures = run.CheckImu(run.dcu_network_cfg_.empty() ? std::string() : run.dcu_network_cfg_.front().name);

  failures += run.CheckEachActuator("handshake", [&run](const std::string& name,
                                                       selftest::report::Check& check) {
    const bool answered = run.zorvik_ctrl_->ShakeHand(name);
    zorvik::ActuatorType type = zorvik::TYPE_NONE;
    uint32_t info = 0;
    check.has_handshake = run.zorvik_ctrl_->GetShakeHandInfo(name, type, info);
    check.type_code = static_cast<int>(type);
    check.info = info;
    return answered;
  });
  run.AbortIfInterrupted();
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (selftest::PrintProgramInfo(argc, argv, "dcu_selftest")) return 0;
  selftest::SelftestRun run(kTexts, ReadConfig, RunChecks);
  return run.Main(argc, argv);
}

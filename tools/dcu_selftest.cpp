// dcu_selftest: checks a network of DCU boards. The bus comes up, the IMU of
// the first configured DCU reads a gravity vector of about 9.8 and every
// configured actuator answers a shake-hand. Nothing is enabled or moved.
//
// Usage: dcu_selftest CONFIG.yaml. The exit status is 0 whatever the verdict
// (130 when interrupted by Ctrl-C or SIGTERM); results go to standard output.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "controller/zorvik_controller.h"
#include "tools/ethercat_config.h"
#include "tools/selftest_config.h"
#include "tools/selftest_runtime.h"

namespace {

constexpr const char* kContactAddress = "selftest@zorvik.dev";
constexpr int kToolVersion[3] = {0, 1, 3};

YAML::EthercatConfig ecat_cfg_;
std::vector<YAML::DcuConfig> dcu_network_cfg_;
std::shared_ptr<zorvik::ZorvikController> zorvik_ctrl_;
std::vector<std::string> actr_name_list_;
// Whether the controller's Start succeeded and its Stop has not been called.
bool bus_started_ = false;

// Registered with atexit at the top of main, i.e. after every static object
// of the program and of the controller library is constructed, so it runs
// before any of them is destroyed: the controller is gone before the
// library's registries and bus manager it uses in its destructor.
void ReleaseController() { zorvik_ctrl_.reset(); }

void AbortIfInterrupted() {
  if (selftest::Interrupted()) {
    selftest::AbortInterruptedRun(zorvik_ctrl_.get(), bus_started_, actr_name_list_);
  }
}

bool InitDcu(std::string cfg_file) {
  selftest::PrintGreen("[DEBUG] Load config from %s.", cfg_file.c_str());
  try {
    const YAML::Node document = YAML::LoadFile(cfg_file);
    selftest::DcuToolConfig config = selftest::ReadDcuToolConfig(document);
    ecat_cfg_ = config.ethercat;
    dcu_network_cfg_ = std::move(config.dcu_network);
  } catch (const std::exception& e) {
    selftest::PrintRed("[ERROR] Config parse failed. %s", e.what());
    return false;
  }

  zorvik_ctrl_.reset(zorvik::ZorvikController::GetInstance());

  std::vector<selftest::AttachedActuator> attached;
  const bool registered = selftest::RegisterNetwork(*zorvik_ctrl_, dcu_network_cfg_, attached);
  for (const auto& actuator : attached) actr_name_list_.push_back(actuator.name);
  if (!registered) return false;

  bus_started_ = selftest::StartNetwork(*zorvik_ctrl_, ecat_cfg_, dcu_network_cfg_);
  return bus_started_;
}

}  // namespace

int main(int argc, char** argv) {
  // Whole lines reach a pipe or a log as soon as they are printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  selftest::InstallInterruptWatch();
  std::atexit(ReleaseController);

  std::printf("DCU test tools powered by %s.\nVer %d.%d.%d, Compiled in %s %s.\n\n", kContactAddress,
              kToolVersion[0], kToolVersion[1], kToolVersion[2], __DATE__, __TIME__);
  if (argc != 2) {
    selftest::PrintRed("[ERROR] Usage: ./main cfg_file");
    return 0;
  }

  const bool init_ok = InitDcu(argv[1]);
  AbortIfInterrupted();
  std::printf("\n\n");
  selftest::PrintGreen("[TEST] **************** 开始测试 ****************");
  if (!init_ok) {
    selftest::PrintRed("[TEST] EtherCAT **************************** FAIL");
    selftest::PrintRed("[TEST] **************** 测试失败 ****************");
    return 0;
  }
  selftest::PrintGreen("[TEST] EtherCAT **************************** PASS");

  // The first DCU of the file, whatever its flags. With no DCU at all there
  // is nothing to read, which counts as a failed IMU test.
  const zorvik::ImuData imu = dcu_network_cfg_.empty()
                                  ? zorvik::ImuData{}
                                  : zorvik_ctrl_->GetDcuImuData(dcu_network_cfg_.front().name);
  int failures = 0;
  if (selftest::GravityPlausible(imu)) {
    selftest::PrintGreen("[TEST] IMU ********************************* PASS");
  } else {
    selftest::PrintRed("[TEST] IMU ********************************* FAIL");
    selftest::PrintImuData(imu);
    failures = 1;
  }

  for (const auto& name : actr_name_list_) {
    AbortIfInterrupted();
    if (zorvik_ctrl_->ShakeHand(name)) {
      selftest::PrintGreen("[TEST] %s ****************************** PASS", name.c_str());
    } else {
      selftest::PrintRed("[TEST] %s ****************************** FAIL", name.c_str());
      ++failures;
    }
  }
  AbortIfInterrupted();

  if (failures == 0) {
    selftest::PrintGreen("[TEST] **************** 测试通过 ****************");
  } else {
    selftest::PrintRed("[TEST] **************** 测试失败 ****************");
  }

  std::printf("\n\n");
  selftest::DisableEveryActuator(*zorvik_ctrl_, actr_name_list_);
  zorvik_ctrl_->Stop();
  bus_started_ = false;
  AbortIfInterrupted();
  return 0;
}

// robot_selftest: checks a whole robot. The bus comes up, the IMU of a named
// DCU reads a gravity vector of about 9.8, every actuator enables and, when
// "move_actuator" is set, every actuator is driven forward and back and
// must follow. At the end every actuator is disabled and the bus stopped.
//
// Usage: robot_selftest CONFIG.yaml. The exit status is 0 whatever the
// verdict (130 when interrupted by Ctrl-C or SIGTERM); results go to
// standard output.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "controller/zorvik_controller.h"
#include "tools/ethercat_config.h"
#include "tools/selftest_config.h"
#include "tools/selftest_runtime.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kContactAddress = "selftest@zorvik.dev";
constexpr int kToolVersion[3] = {0, 1, 3};

YAML::EthercatConfig ecat_cfg_;
std::vector<YAML::DcuConfig> dcu_network_cfg_;
std::shared_ptr<zorvik::ZorvikController> zorvik_ctrl_;
std::vector<std::string> actr_name_list_;
std::unordered_map<std::string, zorvik::ActuatorType> actr_type_map_;
std::string imu_dcu_name_ = "none";
bool enable_move = false;
// Whether the controller's Start succeeded and its Stop has not been called.
bool bus_started_ = false;

// Registered with atexit at the top of main, i.e. after every static object
// of the program and of the controller library is constructed, so it runs
// before any of them is destroyed: the controller is gone before the
// library's registries and bus manager it uses in its destructor.
void ReleaseController() { zorvik_ctrl_.reset(); }

[[noreturn]] void AbortRun() {
  selftest::AbortInterruptedRun(zorvik_ctrl_.get(), bus_started_, actr_name_list_);
}

void AbortIfInterrupted() {
  if (selftest::Interrupted()) AbortRun();
}

// Sleep of the motion test; an interrupt ends the run from here.
void Wait(std::chrono::nanoseconds duration) {
  if (!selftest::SleepFor(duration)) AbortRun();
}

// How one model is driven and checked by the motion test. Commands are
// SetMitCmd arguments: position, velocity, effort, kp, kd.
struct MotionProfile {
  float forward[5];
  float reverse[5];
  bool reads_position;  // otherwise the velocity
  milliseconds poll_period;
  int poll_limit;
  bool (*forward_reached)(float);
  bool (*reverse_reached)(float);
  const char* forward_timeout;
  const char* reverse_timeout;
};

// The gripper and the KinetraA thresholds are compared in double precision,
// the KinetraB ones in single precision.
const MotionProfile kClavixMotion = {
    {1, 0, 1, 0, 0}, {0, 0, 1, 0, 0}, true, milliseconds(10), 300,
    [](float v) { return static_cast<double>(v) > 0.9; },
    [](float v) { return static_cast<double>(v) < 0.1; },
    "[ERROR] %s 目标位置 1, 当前 %f", "[ERROR] %s 目标位置 0, 当前 %f"};
const MotionProfile kKinetraA50Motion = {
    {0, 0.5f, 0, 0, 1000}, {0, -0.5f, 0, 0, 1000}, false, milliseconds(1), 100,
    [](float v) { return static_cast<double>(v) > 0.1; },
    [](float v) { return static_cast<double>(v) < -0.1; },
    "[ERROR] %s 目标速度 0.5, 当前 %f", "[ERROR] %s 目标速度 -0.5, 当前 %f"};
const MotionProfile kKinetraA90Motion = {
    {0, 0.5f, 0, 0, 2000}, {0, -0.5f, 0, 0, 2000}, false, milliseconds(1), 100,
    kKinetraA50Motion.forward_reached, kKinetraA50Motion.reverse_reached,
    kKinetraA50Motion.forward_timeout, kKinetraA50Motion.reverse_timeout};
const MotionProfile kKinetraB30Motion = {
    {9, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, true, milliseconds(10), 300,
    [](float v) { return v > 8.0f; },
    [](float v) { return v < 1.0f; },
    "[ERROR] %s 目标位置 9, 当前 %f", "[ERROR] %s 目标位置 0, 当前 %f"};

const MotionProfile* ProfileOf(zorvik::ActuatorType type) {
  switch (type) {
    case zorvik::CLAVIX: return &kClavixMotion;
    case zorvik::KINETRA_A50: return &kKinetraA50Motion;
    case zorvik::KINETRA_A90: return &kKinetraA90Motion;
    case zorvik::KINETRA_B30: return &kKinetraB30Motion;
    default: return nullptr;
  }
}

float ReadFeedback(const MotionProfile& profile, const std::string& name) {
  return profile.reads_position ? zorvik_ctrl_->GetPosition(name) : zorvik_ctrl_->GetVelocity(name);
}

void SendCommands(bool forward) {
  for (const auto& name : actr_name_list_) {
    AbortIfInterrupted();
    const MotionProfile* profile = ProfileOf(actr_type_map_.at(name));
    if (profile == nullptr) continue;
    const float* c = forward ? profile->forward : profile->reverse;
    zorvik_ctrl_->SetMitCmd(name, c[0], c[1], c[2], c[3], c[4]);
  }
}

// Polls every actuator in turn until it reaches its target or its poll
// limit is used up; returns the number of actuators that did not.
int CheckPhase(bool forward) {
  int failures = 0;
  for (const auto& name : actr_name_list_) {
    const MotionProfile* profile = ProfileOf(actr_type_map_.at(name));
    bool reached = false;
    if (profile != nullptr) {
      const auto condition = forward ? profile->forward_reached : profile->reverse_reached;
      // Only a reading from a board in OP counts; with the link lost no
      // reading can come, so the polls end there.
      for (int poll = 0; poll < profile->poll_limit && !reached && !zorvik_ctrl_->LinkLost(); ++poll) {
        Wait(profile->poll_period);
        reached = zorvik_ctrl_->ActuatorBoardInOp(name) && condition(ReadFeedback(*profile, name));
      }
      if (!reached) {
        const float last = ReadFeedback(*profile, name);
        selftest::PrintRed(forward ? profile->forward_timeout : profile->reverse_timeout,
                           name.c_str(), static_cast<double>(last));
      }
    }
    if (!reached) ++failures;
    if (forward) {
      if (reached) {
        selftest::PrintGreen("[TEST] %s 正向运动测试 **************** PASS", name.c_str());
      } else {
        selftest::PrintRed("[TEST] %s 正向运动测试 **************** FAIL", name.c_str());
      }
    } else {
      if (reached) {
        selftest::PrintGreen("[TEST] %s 反向运动测试 **************** PASS", name.c_str());
      } else {
        selftest::PrintRed("[TEST] %s 反向运动测试 **************** FAIL", name.c_str());
      }
    }
  }
  return failures;
}

bool ExecMoveTest() {
  SendCommands(true);
  Wait(std::chrono::seconds(1));
  int failures = CheckPhase(true);
  SendCommands(false);
  Wait(std::chrono::seconds(1));
  failures += CheckPhase(false);
  return failures == 0;
}

bool InitDcu(std::string cfg_file) {
  selftest::PrintGreen("[DEBUG] Load config from %s.", cfg_file.c_str());
  try {
    const YAML::Node document = YAML::LoadFile(cfg_file);
    selftest::RobotToolConfig config = selftest::ReadRobotToolConfig(document);
    enable_move = config.move_actuator;
    imu_dcu_name_ = config.imu_dcu_name;
    ecat_cfg_ = config.ethercat;
    dcu_network_cfg_ = std::move(config.dcu_network);
  } catch (const std::exception& e) {
    selftest::PrintRed("[ERROR] Config parse failed. %s", e.what());
    return false;
  }

  zorvik_ctrl_.reset(zorvik::ZorvikController::GetInstance());

  std::vector<selftest::AttachedActuator> attached;
  const bool registered = selftest::RegisterNetwork(*zorvik_ctrl_, dcu_network_cfg_, attached);
  for (const auto& actuator : attached) {
    actr_name_list_.push_back(actuator.name);
    actr_type_map_[actuator.name] = actuator.type;
  }
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

  std::printf("M3 test tools powered by %s.\nVer %d.%d.%d, Compiled in %s %s.\n\n", kContactAddress,
              kToolVersion[0], kToolVersion[1], kToolVersion[2], __DATE__, __TIME__);
  if (argc != 2) {
    selftest::PrintRed("[ERROR] Usage: ./main cfg_file");
    return 0;
  }

  const bool init_ok = InitDcu(argv[1]);
  AbortIfInterrupted();
  std::printf("\n\n");
  selftest::PrintGreen("[TEST] **************** 开始测试 *****************");
  if (!init_ok) {
    selftest::PrintRed("[TEST] EtherCAT ***************************** FAIL");
    selftest::PrintRed("[TEST] **************** 测试失败 *****************");
    return 0;
  }
  selftest::PrintGreen("[TEST] EtherCAT ***************************** PASS");

  int failures = 0;
  if (imu_dcu_name_ != "none") {
    const zorvik::ImuData imu = zorvik_ctrl_->GetDcuImuData(imu_dcu_name_);
    if (selftest::GravityPlausible(imu)) {
      selftest::PrintGreen("[TEST] IMU ********************************** PASS");
    } else {
      selftest::PrintRed("[TEST] IMU ********************************** FAIL");
      selftest::PrintImuData(imu);
      failures = 1;
    }
  }

  for (const auto& name : actr_name_list_) {
    AbortIfInterrupted();
    if (zorvik_ctrl_->EnableActuator(name)) {
      selftest::PrintGreen("[TEST] %s 使能 ************************ PASS", name.c_str());
    } else {
      selftest::PrintRed("[TEST] %s 使能 ************************ FAIL", name.c_str());
      ++failures;
    }
  }
  AbortIfInterrupted();

  // The motion test needs every actuator enabled; any earlier failure
  // skips it.
  if (enable_move && failures == 0) {
    const bool moved = ExecMoveTest();
    for (const auto& name : actr_name_list_) zorvik_ctrl_->SetMitCmd(name, 0, 0, 0, 0, 0);
    failures = moved ? 0 : 1;
  }

  if (failures == 0) {
    selftest::PrintGreen("[TEST] **************** 测试通过 *****************");
  } else {
    selftest::PrintRed("[TEST] **************** 测试失败 *****************");
  }

  std::printf("\n\n");
  selftest::DisableEveryActuator(*zorvik_ctrl_, actr_name_list_);
  zorvik_ctrl_->Stop();
  bus_started_ = false;
  AbortIfInterrupted();
  return 0;
}

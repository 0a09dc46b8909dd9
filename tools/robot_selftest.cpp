// robot_selftest: checks a whole robot. The bus comes up, the IMU of a named
// DCU reads a gravity vector of about 9.8, every actuator enables and, when
// "move_actuator" is set, every actuator is driven forward and back and
// must follow. At the end every actuator is disabled and the bus stopped.
//
// Usage: robot_selftest CONFIG.yaml. The exit status is 0 whatever the
// verdict (130 when interrupted by Ctrl-C or SIGTERM); results go to
// standard output, and to report files when SELFTEST_OUTPUT names them.

#include <chrono>
#include <string>
#include <utility>

#include <yaml-cpp/yaml.h>

#include "controller/zorvik_controller.h"
#include "tools/program_info.h"
#include "tools/selftest_config.h"
#include "tools/selftest_run.h"
#include "tools/selftest_runtime.h"

namespace {

using std::chrono::milliseconds;

const selftest::ToolTexts kTexts = {
    "robot_selftest",
    "M3",
    "[TEST] **************** 开始测试 *****************",
    "[TEST] **************** 测试通过 *****************",
    "[TEST] **************** 测试失败 *****************",
    "[TEST] EtherCAT ***************************** PASS",
    "[TEST] EtherCAT ***************************** FAIL",
    "[TEST] IMU ********************************** PASS",
    "[TEST] IMU ********************************** FAIL",
    "[TEST] %s 使能 ************************ PASS",
    "[TEST] %s 使能 ************************ FAIL",
};

// The one run of the process; the motion test's helpers reach the program
// state through it.
selftest::SelftestRun* run_ = nullptr;
std::string imu_dcu_name_ = "none";
bool enable_move = false;

void AbortIfInterrupted() { run_->AbortIfInterrupted(); }
void Wait(std::chrono::nanoseconds duration) { run_->Wait(duration); }

// How one model is driven and checked by the motion test: its row of the
// model table, or null for a type without one.
const zorvik::MotionTest* ProfileOf(zorvik::ActuatorType type) {
  const zorvik::ActuatorModel* model = zorvik::FindModel(type);
  return model == nullptr ? nullptr : &model->motion;
}

float ReadFeedback(const zorvik::MotionTest& profile, const std::string& name) {
  return profile.reads_position ? run_->zorvik_ctrl_->GetPosition(name)
                                : run_->zorvik_ctrl_->GetVelocity(name);
}

// Whether a reading passes the threshold of the direction (compared in
// double precision).
bool Reached(const zorvik::MotionTest& profile, bool forward, float reading) {
  const double value = static_cast<double>(reading);
  return forward ? value > profile.forward_threshold : value < profile.reverse_threshold;
}

// Opens the report entry of one motion check.
selftest::report::Check& BeginMotionCheck(bool forward, const std::string& name,
                                          const zorvik::MotionTest* profile) {
  selftest::report::Check& check =
      run_->BeginCheck((forward ? "forward:" : "reverse:") + name,
                       name + (forward ? " 正向运动测试" : " 反向运动测试"));
  if (profile != nullptr) {
    check.has_motion = true;
    check.quantity = profile->reads_position ? "position" : "velocity";
    check.target = forward ? profile->forward_target : profile->reverse_target;
    check.threshold = forward ? profile->forward_threshold : profile->reverse_threshold;
    check.comparison = forward ? ">" : "<";
  }
  return check;
}

// One polled reading into the open check.
float Polled(selftest::report::Check& check, float value) {
  check.polls.push_back({run_->CheckElapsedMs(), static_cast<double>(value)});
  return value;
}

void SendCommands(bool forward) {
  for (const auto& name : run_->actr_name_list_) {
    AbortIfInterrupted();
    const zorvik::MotionTest* profile = ProfileOf(run_->actr_type_map_.at(name));
    if (profile == nullptr) continue;
    const float* c = forward ? profile->forward : profile->reverse;
    run_->zorvik_ctrl_->SetMitCmd(name, c[0], c[1], c[2], c[3], c[4]);
  }
}

// Polls every actuator in turn until it reaches its target or its poll
// limit is used up; returns the number of actuators that did not.
int CheckPhase(bool forward) {
  int failures = 0;
  for (const auto& name : run_->actr_name_list_) {
    const zorvik::MotionTest* profile = ProfileOf(run_->actr_type_map_.at(name));
    selftest::report::Check& check = BeginMotionCheck(forward, name, profile);
    bool reached = false;
    if (profile != nullptr) {
      const milliseconds poll_period(profile->poll_period_ms);
      // Only a fresh reading counts: the board in OP answered a frame sent
      // after the command. With the link lost no reading can come, so the
      // polls end there. The freshness is asked before the value is read:
      // the value read after it is at least as new.
      for (int poll = 0; poll < profile->poll_limit && !reached && !run_->zorvik_ctrl_->LinkLost(); ++poll) {
        Wait(poll_period);
        const bool fresh = run_->zorvik_ctrl_->ActuatorReadingFresh(name);
        const float reading = Polled(check, ReadFeedback(*profile, name));
        reached = fresh && Reached(*profile, forward, reading);
      }
      check.crossed = reached;
      if (reached) check.crossed_ms = check.polls.back().t_ms;
      if (!reached) {
        const float last = Polled(check, ReadFeedback(*profile, name));
        selftest::PrintRed("[ERROR] %s 目标%s %g, 当前 %f", name.c_str(),
                           profile->reads_position ? "位置" : "速度",
                           forward ? profile->forward_target : profile->reverse_target,
                           static_cast<double>(last));
        check.message = selftest::TakeLastErrorLine();
        // A board that does not answer keeps its last reading, which reads
        // like a slow actuator: say whose reading it is.
        std::string dcu;
        int ecat_id = 0;
        if (!run_->zorvik_ctrl_->ActuatorBoardAnswers(name) && run_->zorvik_ctrl_->ActuatorDcu(name, dcu, ecat_id)) {
          selftest::PrintRed("[ERROR] DCU %s (%d) does not answer: the reading above is the last one it sent, not %s's "
                             "answer to this command.",
                             dcu.c_str(), ecat_id, name.c_str());
          check.message += "\n" + selftest::TakeLastErrorLine();
        }
      }
    }
    if (!reached) ++failures;
    run_->EndCheck(reached);
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

void ReadConfig(const YAML::Node& document, selftest::SelftestRun& run) {
  selftest::RobotToolConfig config = selftest::ReadRobotToolConfig(document);
  enable_move = config.move_actuator;
  imu_dcu_name_ = config.imu_dcu_name;
  run.ecat_cfg_ = config.ethercat;
  run.dcu_network_cfg_ = std::move(config.dcu_network);
}

int RunChecks(selftest::SelftestRun& run) {
  int failures = 0;
  if (imu_dcu_name_ != "none") {
    failures = run.CheckImu(imu_dcu_name_);
  }

  failures += run.CheckEachActuator("enable", [&run](const std::string& name,
                                                    selftest::report::Check&) {
    return run.zorvik_ctrl_->EnableActuator(name);
  });
  AbortIfInterrupted();

  // The motion test needs every actuator enabled; any earlier failure
  // skips it.
  if (enable_move && failures == 0) {
    const bool moved = ExecMoveTest();
    for (const auto& name : run.actr_name_list_) run.zorvik_ctrl_->SetMitCmd(name, 0, 0, 0, 0, 0);
    failures = moved ? 0 : 1;
  } else if (enable_move) {
    for (const char* phase : {"forward", "reverse"}) {
      for (const auto& name : run.actr_name_list_) {
        run.SkipCheck(std::string(phase) + ":" + name,
                      name + (phase[0] == 'f' ? " 正向运动测试" : " 反向运动测试"),
                      "not run: an earlier check failed");
      }
    }
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (selftest::PrintProgramInfo(argc, argv, "robot_selftest")) return 0;
  selftest::SelftestRun run(kTexts, ReadConfig, RunChecks);
  run_ = &run;
  return run.Main(argc, argv);
}

// The example configurations, run as a user runs them on a machine without
// a robot: scripts/simnet.sh starts the simulated network of the file and
// runs the program on it. Needs root (network namespaces).

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tests/support/build_paths.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

constexpr seconds kRunLimit(120);

const std::vector<std::string> kSingleDcu = {"hip_pitch", "knee_pitch", "wrist_roll", "gripper"};
const std::vector<std::string> kRobot = {
    "waist_yaw",         "waist_pitch",          "neck_yaw",          "left_shoulder_pitch",
    "left_elbow_pitch",  "left_wrist_roll",      "left_gripper",      "right_shoulder_pitch",
    "right_elbow_pitch", "right_wrist_roll",     "right_gripper"};

struct Example {
  std::string file;
  std::vector<std::string> actuators;
};

void PrintTo(const Example& example, std::ostream* os) { *os << example.file; }

class ExamplesUnderSimnet : public testing::TestWithParam<Example> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "simnet.sh needs root";
  }

  // Runs `command` (words) under simnet.sh with the example's network.
  ProgramResult Simnet(const std::string& config, const std::vector<std::string>& command,
                       std::vector<Trigger> triggers = {}) {
    std::vector<std::string> argv{"bash", SIMNET_SCRIPT, "--sim", DCU_SIM_PATH, config, "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    ProgramResult r = RunProgram(argv, kRunLimit, std::move(triggers));
    EXPECT_FALSE(r.timed_out) << r.output;
    return r;
  }

  // The program, then the simulator's view of every actuator, printed as
  // "enabled=0" / "enabled=1" lines after the run; the exit status is the
  // program's.
  std::vector<std::string> ProgramThenActuators(const std::string& program,
                                                const std::string& config) {
    std::string script = "\"$1\" \"$2\"; status=$?;";
    for (const auto& name : GetParam().actuators) {
      script += " \"$DCU_SIMCTL\" get actuator " + name + " | grep -o 'enabled=[01]';";
    }
    script += " exit $status";
    return {"sh", "-c", script, "sh", program, config};
  }
};

TEST_P(ExamplesUnderSimnet, DcuToolPasses) {
  const std::string config = std::string(EXAMPLES_DIR) + "/" + GetParam().file;
  const ProgramResult r = Simnet(config, ProgramThenActuators(DcuTool().program, config));
  EXPECT_EQ(r.exit_status, 0);
  const auto lines = r.Lines();
  ExpectBanner(lines, DcuTool());
  ExpectInOrder(lines, HealthyDcuRun(DcuTool(), config, GetParam().actuators));
  EXPECT_EQ(CountLinesContaining(lines, "FAIL"), 0);
  EXPECT_EQ(CountLinesContaining(lines, "[ERROR]"), 0);
  EXPECT_EQ(CountLinesContaining(lines, "enabled=0"), static_cast<int>(GetParam().actuators.size()));
}

TEST_P(ExamplesUnderSimnet, RobotToolPasses) {
  const std::string config = std::string(EXAMPLES_DIR) + "/" + GetParam().file;
  const ProgramResult r = Simnet(config, ProgramThenActuators(RobotTool().program, config));
  EXPECT_EQ(r.exit_status, 0);
  const auto lines = r.Lines();
  ExpectBanner(lines, RobotTool());
  ExpectInOrder(lines, HealthyRobotRun(RobotTool(), config, GetParam().actuators));
  EXPECT_EQ(CountLinesContaining(lines, "FAIL"), 0);
  EXPECT_EQ(CountLinesContaining(lines, "[ERROR]"), 0);
  // Every actuator was disabled at the end.
  EXPECT_EQ(CountLinesContaining(lines, "enabled=0"), static_cast<int>(GetParam().actuators.size()));
}

// Ctrl-C at the terminal reaches the whole foreground process group; the
// program shuts down, and simnet.sh passes on its status 130.
TEST_P(ExamplesUnderSimnet, CtrlCDuringMotion) {
  const std::string config = std::string(EXAMPLES_DIR) + "/" + GetParam().file;
  const std::string last = GetParam().actuators.back();
  const ProgramResult r =
      Simnet(config, {RobotTool().program, config},
             {{"[TEST] " + last + " 使能", [](pid_t pid) { kill(-pid, SIGINT); }}});
  EXPECT_EQ(r.exit_status, 130);
  ExpectInOrder(r.Lines(),
                {RobotTool().ActuatorPass(last),
                 Yellow("[WARN] Test interrupted, commanding all actuators to zero and "
                        "disabling them."),
                 "[INFO] ZorvikController stop successfully."});
}

INSTANTIATE_TEST_SUITE_P(Examples, ExamplesUnderSimnet,
                         testing::Values(Example{"single_dcu.yaml", kSingleDcu},
                                         Example{"robot.yaml", kRobot}),
                         [](const testing::TestParamInfo<Example>& info) {
                           return info.index == 0 ? std::string("single_dcu")
                                                  : std::string("robot");
                         });

}  // namespace

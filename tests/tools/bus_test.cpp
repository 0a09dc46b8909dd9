// Whole runs of dcu_selftest and robot_selftest against the simulated DCU
// network: healthy robots, each failure the programs report, and Ctrl-C /
// SIGTERM at several moments of a run. Needs root (network namespaces).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

// Every run ends well within this: bring-up, at most ~1 s per actuator
// and call, and the motion test's 2 s of waits plus its polls.
constexpr seconds kRunLimit(90);

// A file both programs and the simulator read. `simulator` is the body of
// the simulator's own section, indented by two spaces.
std::string Config(const std::string& move_actuator, const std::string& imu_dcu_name,
                   const std::string& network = kEveryModelDcu,
                   const std::string& simulator = "") {
  return RobotFile("eth0", move_actuator, imu_dcu_name, network, simulator);
}

// An IMU that reads exactly `gravity` along z, without noise.
std::string ExactImu(const std::string& gravity) {
  return "  imu: {gravity: " + gravity +
         ", axis: z, acc_noise: 0, gyro_noise: 0, gyro_bias: [0, 0, 0]}\n";
}

class SelftestOnBus : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
  }

  // Starts the simulator on `config` and runs the program against it.
  ProgramResult Run(const ToolLines& tool, const std::string& config,
                    std::vector<Trigger> triggers = {}) {
    bus_.reset();
    bus_ = std::make_unique<simtest::SimBus>(config);
    if (!bus_->ok()) {
      ADD_FAILURE() << "simulator did not start: " << bus_->error();
      return {};
    }
    ProgramResult r = RunProgram({tool.program, bus_->config_path()}, kRunLimit, std::move(triggers));
    EXPECT_FALSE(r.timed_out) << r.output;
    // SELFTEST_SHOW_OUTPUT=1 shows what each run printed.
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    return r;
  }

  // The simulator's view of one actuator: "enabled=1" or "enabled=0".
  std::string Enabled(const std::string& actuator) {
    const std::string reply = bus_->Control("get actuator " + actuator);
    std::smatch m;
    if (std::regex_search(reply, m, std::regex(R"(enabled=(\d))"))) return "enabled=" + m[1].str();
    return reply;
  }

  void ExpectAllDisabled(const std::vector<std::string>& actuators) {
    for (const auto& name : actuators) EXPECT_EQ(Enabled(name), "enabled=0") << name;
  }

  std::unique_ptr<simtest::SimBus> bus_;
};

// --- IMU -------------------------------------------------------------------

TEST_F(SelftestOnBus, ImuOffGravityFailsWithItsReading) {
  const std::string config = Config("true", "dcu_main", kEveryModelDcu, ExactImu("9.5"));
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    const ProgramResult r = Run(t, config);
    EXPECT_EQ(r.exit_status, 0);
    const auto lines = r.Lines();
    // The reading is printed right after the FAIL line; the other tests
    // still run and pass, and the verdict fails.
    ExpectInOrder(lines, {t.ethercat_pass, t.imu_fail, "imu data: 0, 0, 9.5, 0, 0, 0",
                          t.ActuatorPass("hip_pitch"), t.ActuatorPass("gripper"),
                          t.fail_verdict});
    // The failed IMU test suppresses the motion test.
    EXPECT_EQ(CountLinesContaining(lines, "运动测试"), 0);
  }
}

// After the start the IMU offset is applied on the DCUs that ask for it.
TEST_F(SelftestOnBus, ImuOffsetFollowsImuEnable) {
  const std::string network =
      "    - {name: dcu_a, ecat_id: 1, enable: true, imu_enable: false}\n"
      "    - {name: dcu_b, ecat_id: 2, enable: true, imu_enable: true}\n";
  const auto lines = Run(DcuTool(), Config("false", "none", network)).Lines();
  ExpectInOrder(lines, {DcuTool().ethercat_pass, DcuTool().imu_pass, DcuTool().pass_verdict});
  EXPECT_NE(bus_->Control("get 1 imu").find("offset_applied=0"), std::string::npos);
  EXPECT_NE(bus_->Control("get 2 imu").find("offset_applied=1"), std::string::npos);
}

// The DCU tool reads the first DCU of the file whatever its flags: when
// that one is disabled there is no such DCU and the reading is all zero;
// the line after it says why, so the IMU is not taken for broken.
TEST_F(SelftestOnBus, DisabledFirstDcu) {
  const std::string network =
      "    - {name: dcu_off, ecat_id: 1, enable: false, imu_enable: true,\n"
      "       channel_1: [{name: idle_joint, type: KINETRA_A50, can_id: 1}]}\n"
      "    - {name: dcu_on, ecat_id: 2, enable: true, imu_enable: false,\n"
      "       channel_1: [{name: live_joint, type: KINETRA_A90, can_id: 1}]}\n";
  const ProgramResult r = Run(DcuTool(), Config("false", "none", network));
  EXPECT_EQ(r.exit_status, 0);
  const auto lines = r.Lines();
  const ToolLines t = DcuTool();
  ExpectInOrder(lines, {t.ethercat_pass, t.imu_fail, "imu data: 0, 0, 0, 0, 0, 0",
                        Red("[ERROR] DCU dcu_off is disabled (enable: false); its IMU has no readings."),
                        t.ActuatorPass("live_joint"), t.fail_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "idle_joint"), 0);
  // A disabled DCU has no node, so its imu_enable asks for nothing.
  EXPECT_NE(bus_->Control("get 1 imu").find("offset_applied=0"), std::string::npos);
  EXPECT_NE(bus_->Control("get 2 imu").find("offset_applied=0"), std::string::npos);
}

TEST_F(SelftestOnBus, RobotImuByName) {
  const ToolLines t = RobotTool();
  // "none" switches the test off; it is not a failure.
  auto lines = Run(t, Config("false", "none")).Lines();
  ExpectInOrder(lines, {t.ethercat_pass, t.ActuatorPass("hip_pitch"), t.pass_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "IMU"), 0);
  EXPECT_EQ(CountLinesContaining(lines, "imu data"), 0);

  // Any other text names a DCU, "None" included; an unknown one reads zero,
  // and the line after it names the mistake in the file.
  for (const std::string name : {"None", "dcu_nowhere"}) {
    lines = Run(t, Config("false", name)).Lines();
    ExpectInOrder(lines, {t.ethercat_pass, t.imu_fail, "imu data: 0, 0, 0, 0, 0, 0",
                          Red("[ERROR] imu_dcu_name " + name +
                              " names no DCU of dcu_network; write none to skip the IMU test."),
                          t.ActuatorPass("hip_pitch"), t.fail_verdict});
  }
}

// --- handshake and enable ------------------------------------------------

TEST_F(SelftestOnBus, ActuatorWithoutHandshake) {
  const ToolLines t = DcuTool();
  const ProgramResult r = Run(
      t, Config("false", "dcu_main", kEveryModelDcu, "  actuator_faults: {knee_pitch: no_handshake}\n"));
  EXPECT_EQ(r.exit_status, 0);
  ExpectInOrder(r.Lines(), {t.imu_pass, t.ActuatorPass("hip_pitch"), t.ActuatorFail("knee_pitch"),
                            t.ActuatorPass("wrist_roll"), t.ActuatorPass("gripper"),
                            t.fail_verdict});
}

// An actuator that does not enable fails its line and the verdict, and the
// motion test is skipped even though it was asked for. (Only the KinetraA
// models have a power stage; the others always enable.)
TEST_F(SelftestOnBus, ActuatorThatDoesNotEnable) {
  const ToolLines t = RobotTool();
  const ProgramResult r = Run(
      t, Config("true", "dcu_main", kEveryModelDcu, "  actuator_faults: {knee_pitch: no_enable}\n"));
  EXPECT_EQ(r.exit_status, 0);
  const auto lines = r.Lines();
  ExpectInOrder(lines, {t.imu_pass, t.ActuatorPass("hip_pitch"), t.ActuatorFail("knee_pitch"),
                        t.ActuatorPass("wrist_roll"), t.ActuatorPass("gripper"), t.fail_verdict,
                        "", "", "[INFO] ZorvikController stop successfully."});
  EXPECT_EQ(CountLinesContaining(lines, "运动测试"), 0);
  ExpectAllDisabled(kEveryModel);
}

// --- motion ----------------------------------------------------------------

TEST_F(SelftestOnBus, MoveActuatorFalseRunsNoMotion) {
  const ToolLines t = RobotTool();
  const auto lines = Run(t, Config("false", "dcu_main")).Lines();
  std::vector<std::string> expected{t.ethercat_pass, t.imu_pass};
  for (const auto& name : kEveryModel) expected.push_back(t.ActuatorPass(name));
  expected.push_back(t.pass_verdict);
  ExpectInOrder(lines, expected);
  EXPECT_EQ(CountLinesContaining(lines, "运动测试"), 0);
}

// The timeout line of a check, found by its start; its reading must lie
// within `bound` of zero.
std::string TimeoutLine(const std::vector<std::string>& lines, const std::string& start,
                        double bound) {
  for (const auto& line : lines) {
    if (line.rfind(start, 0) != 0) continue;
    const double reading = std::stod(line.substr(start.size()));
    EXPECT_LT(std::fabs(reading), bound) << line;
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(当前 -?\d+\.\d{6}\x1b\[0m$)"))) << line;
    return line;
  }
  ADD_FAILURE() << "no line starting with " << start;
  return start;
}

// A KinetraA that does not move fails both checks with the velocity read
// after the last poll (near zero: the 12-bit encoding has no exact 0); the
// other actuators' checks still run and pass.
TEST_F(SelftestOnBus, KinetraAThatDoesNotMove) {
  const ToolLines t = RobotTool();
  const auto lines = Run(t, Config("true", "dcu_main", kEveryModelDcu,
                                   "  actuator_faults: {knee_pitch: no_move}\n"))
                         .Lines();
  const std::string forward = TimeoutLine(lines, "\033[31m[ERROR] knee_pitch 目标速度 0.5, 当前 ", 0.1);
  const std::string reverse = TimeoutLine(lines, "\033[31m[ERROR] knee_pitch 目标速度 -0.5, 当前 ", 0.1);
  ExpectInOrder(lines, {ForwardPass("hip_pitch"), forward, ForwardFail("knee_pitch"),
                        ForwardPass("wrist_roll"), ForwardPass("gripper"),
                        ReversePass("hip_pitch"), reverse, ReverseFail("knee_pitch"),
                        ReversePass("wrist_roll"), ReversePass("gripper"), t.fail_verdict});
}

// A KINETRA_B30 or a gripper that stays at 0 fails forward with its
// position, and passes the reverse check (target 0) all the same.
TEST_F(SelftestOnBus, PositionActuatorsThatDoNotMove) {
  const ToolLines t = RobotTool();
  const auto lines =
      Run(t, Config("true", "dcu_main", kEveryModelDcu,
                    "  actuator_faults: {wrist_roll: no_move, gripper: no_move}\n"))
          .Lines();
  ExpectInOrder(lines, {ForwardPass("hip_pitch"), ForwardPass("knee_pitch"),
                        Red("[ERROR] wrist_roll 目标位置 9, 当前 0.000000"),
                        ForwardFail("wrist_roll"),
                        Red("[ERROR] gripper 目标位置 1, 当前 0.000000"), ForwardFail("gripper"),
                        ReversePass("hip_pitch"), ReversePass("knee_pitch"),
                        ReversePass("wrist_roll"), ReversePass("gripper"), t.fail_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "[ERROR]"), 2);
}

// A KINETRA_B30 that jams at exactly 8 fails forward (the check is strictly
// greater than 8) with the position it stopped at, and still comes back to 0.
TEST_F(SelftestOnBus, KinetraBThatStopsAtEight) {
  const ToolLines t = RobotTool();
  const auto lines = Run(t, Config("true", "dcu_main", kEveryModelDcu,
                                   "  actuator_limits: {wrist_roll: 8}\n"))
                         .Lines();
  ExpectInOrder(lines, {ForwardPass("hip_pitch"), ForwardPass("knee_pitch"),
                        Red("[ERROR] wrist_roll 目标位置 9, 当前 8.000000"),
                        ForwardFail("wrist_roll"), ForwardPass("gripper"),
                        ReversePass("wrist_roll"), t.fail_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "[ERROR]"), 1);
}

// --- interrupts -------------------------------------------------------------

// After Ctrl-C or SIGTERM: one warning, no verdict, the bus stopped, status
// 130 and no actuator left enabled in the simulator.
void ExpectInterrupted(const ProgramResult& r, const ToolLines& t) {
  EXPECT_EQ(r.exit_status, 130) << r.output;
  const auto lines = r.Lines();
  EXPECT_EQ(CountLinesContaining(lines, "[WARN] Test interrupted"), 1);
  EXPECT_EQ(CountLinesContaining(lines, t.pass_verdict), 0);
  EXPECT_EQ(CountLinesContaining(lines, t.fail_verdict), 0);
}

TEST_F(SelftestOnBus, InterruptDuringBringUp) {
  const ToolLines t = RobotTool();
  const ProgramResult r = Run(t, Config("true", "dcu_main"),
                              {{"[DEBUG] Load config from", SendSignal(SIGINT)}});
  ExpectInterrupted(r, t);
  // The run stops once the start is over, before any test.
  EXPECT_EQ(CountLinesContaining(r.Lines(), "[TEST]"), 0);
  ExpectAllDisabled(kEveryModel);
}

TEST_F(SelftestOnBus, InterruptDuringHandshakes) {
  const ToolLines t = DcuTool();
  const ProgramResult r =
      Run(t, Config("false", "dcu_main"), {{"[TEST] hip_pitch", SendSignal(SIGINT)}});
  ExpectInterrupted(r, t);
  ExpectInOrder(r.Lines(), {t.ActuatorPass("hip_pitch"),
                            Yellow("[WARN] Test interrupted, commanding all actuators to zero "
                                   "and disabling them."),
                            "[INFO] ZorvikController stop successfully."});
  ExpectAllDisabled(kEveryModel);
}

TEST_F(SelftestOnBus, InterruptDuringEnableTest) {
  const ToolLines t = RobotTool();
  const ProgramResult r =
      Run(t, Config("true", "dcu_main"), {{"[TEST] knee_pitch 使能", SendSignal(SIGTERM)}});
  ExpectInterrupted(r, t);
  EXPECT_EQ(CountLinesContaining(r.Lines(), "运动测试"), 0);
  ExpectAllDisabled(kEveryModel);
}

// During the motion test every actuator is enabled and moving.
TEST_F(SelftestOnBus, InterruptDuringMotion) {
  const ToolLines t = RobotTool();
  // In the wait after the forward commands.
  ProgramResult r =
      Run(t, Config("true", "dcu_main"), {{"[TEST] gripper 使能", SendSignal(SIGINT)}});
  ExpectInterrupted(r, t);
  EXPECT_EQ(CountLinesContaining(r.Lines(), "运动测试"), 0);
  ExpectAllDisabled(kEveryModel);

  // In the reverse checks.
  r = Run(t, Config("true", "dcu_main"), {{"[TEST] hip_pitch 反向", SendSignal(SIGINT)}});
  ExpectInterrupted(r, t);
  ExpectInOrder(r.Lines(), {ReversePass("hip_pitch"),
                            "[INFO] ZorvikController stop successfully."});
  ExpectAllDisabled(kEveryModel);
}

// A second Ctrl-C does not wait for the shutdown. With the cable pulled the
// disables cannot be confirmed, so the shutdown would take about a second
// per actuator; the second signal ends it before the bus is stopped.
TEST_F(SelftestOnBus, SecondInterruptExitsAtOnce) {
  const ToolLines t = RobotTool();
  const ProgramResult r =
      Run(t, Config("true", "dcu_main"),
          {{"[TEST] gripper 使能",
            [this](pid_t pid) {
              bus_->Control("cable pull");
              kill(pid, SIGINT);
            }},
           {"[WARN] Test interrupted", SendSignal(SIGINT)}});
  EXPECT_EQ(r.exit_status, 130);
  EXPECT_EQ(CountLinesContaining(r.Lines(), "ZorvikController stop successfully"), 0);
}

}  // namespace

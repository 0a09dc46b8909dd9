// Whole runs of the programs on the simulated robot while the bus fails the
// way a real one does: a board in SAFE_OP+ERROR, a silent board during the
// motion test, a cable pulled for good, the simulator killed, Ctrl-C during
// a start-up that cannot finish, and long cycles with distributed clocks.
// Needs root (network namespaces).

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tests/support/build_paths.h"

namespace {

using namespace tooltest;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr seconds kRunLimit(90);

// Three boards: a body (1) and two arms (2, 3), each arm with every model.
const char* const kRobot =
    "    - name: dcu_body\n"
    "      ecat_id: 1\n"
    "      enable: true\n"
    "      imu_enable: true\n"
    "      channel_1:\n"
    "        - {name: waist_yaw, type: KINETRA_A90, can_id: 1}\n"
    "      channel_2:\n"
    "        - {name: neck_yaw, type: KINETRA_B30, can_id: 1}\n"
    "    - name: dcu_left_arm\n"
    "      ecat_id: 2\n"
    "      enable: true\n"
    "      imu_enable: false\n"
    "      channel_1:\n"
    "        - {name: left_shoulder, type: KINETRA_A90, can_id: 1}\n"
    "        - {name: left_elbow, type: KINETRA_A50, can_id: 2}\n"
    "      channel_2:\n"
    "        - {name: left_wrist, type: KINETRA_B30, can_id: 1}\n"
    "      channel_3:\n"
    "        - {name: left_gripper, type: CLAVIX, can_id: 1}\n"
    "    - name: dcu_right_arm\n"
    "      ecat_id: 3\n"
    "      enable: true\n"
    "      imu_enable: false\n"
    "      channel_1:\n"
    "        - {name: right_shoulder, type: KINETRA_A90, can_id: 1}\n"
    "      channel_3:\n"
    "        - {name: right_gripper, type: CLAVIX, can_id: 1}\n";

const std::vector<std::string> kActuators = {"waist_yaw",  "neck_yaw",     "left_shoulder",  "left_elbow",
                                             "left_wrist", "left_gripper", "right_shoulder", "right_gripper"};
const std::vector<std::string> kLeftArm = {"left_shoulder", "left_elbow", "left_wrist", "left_gripper"};
// The actuators with a power stage, which a failed disable may leave enabled.
const std::vector<std::string> kPowered = {"waist_yaw", "left_shoulder", "left_elbow", "right_shoulder"};

std::string Config(bool move, uint64_t cycle_ns = 1000000, bool enable_dc = true,
                   const std::string& simulator = "") {
  std::string text = std::string("ZorvikController:\n") + "  move_actuator: " + (move ? "true" : "false") +
                     "\n"
                     "  imu_dcu_name: dcu_body\n"
                     "  ethercat:\n"
                     "    ifname: eth0\n"
                     "    enable_dc: " + (enable_dc ? "true" : "false") + "\n"
                     "    bind_cpu: -1\n"
                     "    rt_priority: -1\n"
                     "    cycle_time_ns: " + std::to_string(cycle_ns) + "\n"
                     "  dcu_network:\n" + kRobot;
  if (!simulator.empty()) text += "DcuSimulator:\n" + simulator;
  return text;
}

std::string MayStillBeEnabled(const std::string& name) {
  return Yellow("[WARN] Actuator " + name + " may still be enabled.");
}

class SupervisedRun : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
  }

  ProgramResult Run(const ToolLines& tool, const std::string& config, std::vector<Trigger> triggers = {}) {
    bus_.reset();
    bus_ = std::make_unique<simtest::SimBus>(config);
    if (!bus_->ok()) {
      ADD_FAILURE() << "simulator did not start: " << bus_->error();
      return {};
    }
    ProgramResult r = RunProgram({tool.program, bus_->config_path()}, kRunLimit, std::move(triggers));
    ended_ = Clock::now();
    EXPECT_FALSE(r.timed_out) << r.output;
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    return r;
  }

  // Seconds from `from` to the end of the last run.
  double SecondsSince(Clock::time_point from) const {
    return std::chrono::duration<double>(ended_ - from).count();
  }

  std::string Enabled(const std::string& actuator) {
    const std::string reply = bus_->Control("get actuator " + actuator);
    return reply.find("enabled=1") != std::string::npos ? "enabled=1" : "enabled=0";
  }

  // A trigger action: the cable is pulled, then the program gets Ctrl-C;
  // *at is when.
  std::function<void(pid_t)> PullCableAndInterrupt(Clock::time_point* at) {
    return [this, at](pid_t pid) {
      bus_->Control("cable pull");
      *at = Clock::now();
      kill(pid, SIGINT);
    };
  }

  std::unique_ptr<simtest::SimBus> bus_;
  Clock::time_point ended_;
};

// The fault of the field report: a board that drops to SAFE_OP+ERROR while
// the counter stays complete is acknowledged and back in OP, so the checks
// after it pass; the fault itself fails the run, named after the checks,
// and every actuator is disabled at the end.
TEST_F(SupervisedRun, BoardInSafeOpWithErrorIsRepairedDuringTheRun) {
  const ToolLines t = RobotTool();
  const ProgramResult r = Run(t, Config(true), {{t.ethercat_pass, [this](pid_t) {
                                                    bus_->Control("board 2 state SAFE_OP error code 0x001B");
                                                  }}});
  const auto lines = r.Lines();
  ExpectInOrder(lines, {Red("[ERROR] ERROR : node dcu_left_arm (2) is in SAFE_OP + ERROR, attempting ack."),
                        Red("[ERROR] ERROR : node dcu_left_arm (2) is in SAFE_OP, change to OPERATIONAL."),
                        "[INFO] OK : all slaves resumed OPERATIONAL.", ReversePass("right_gripper"),
                        Red("[ERROR] DCU dcu_left_arm (2) left OP during the test: in SAFE_OP + ERROR, in SAFE_OP; "
                            "it is back in OP."),
                        t.ethercat_fail, t.fail_verdict, "[INFO] ZorvikController stop successfully."});
  EXPECT_EQ(CountLinesContaining(lines, "frames ("), 0) << "the counter stayed complete";
  EXPECT_EQ(CountLinesContaining(lines, "may still be enabled"), 0);
  for (const auto& name : kActuators) EXPECT_EQ(Enabled(name), "enabled=0") << name;
}

// Board 2 falls silent once the forward checks began: its inputs keep their
// last values (the KinetraA velocities read 0.5), yet none of its actuators
// passes a check; the other boards' actuators do. The disables of its
// powered actuators cannot be confirmed and are named.
TEST_F(SupervisedRun, SilentBoardPassesNoCheck) {
  const ToolLines t = RobotTool();
  // The report names the actuators left enabled as the warnings do.
  const std::string report = "/tmp/supervised_run_" + std::to_string(getpid()) + ".json";
  setenv("SELFTEST_OUTPUT", ("json:" + report).c_str(), 1);
  const ProgramResult r =
      Run(t, Config(true), {{ForwardPass("waist_yaw"), [this](pid_t) { bus_->Control("board 2 silent"); }}});
  unsetenv("SELFTEST_OUTPUT");
  std::ifstream in(report);
  const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  std::remove(report.c_str());
  EXPECT_EQ(doc.value("verdict", ""), "fail");
  EXPECT_EQ(doc.value("maybe_enabled", nlohmann::json()),
            (nlohmann::json{"left_shoulder", "left_elbow"}));
  const auto lines = r.Lines();
  for (const auto& name : kLeftArm) {
    EXPECT_EQ(CountLinesContaining(lines, "[TEST] " + name + " 正向运动测试 **************** PASS"), 0) << name;
    EXPECT_EQ(CountLinesContaining(lines, "[TEST] " + name + " 反向运动测试 **************** PASS"), 0) << name;
    EXPECT_EQ(CountLinesContaining(lines, ForwardFail(name)), 1) << name;
  }
  EXPECT_EQ(CountLinesContaining(lines, "[ERROR] left_shoulder 目标速度 0.5, 当前 "), 1);
  // The quoted reading is the board's last one: the line after it says so.
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].find("[ERROR] left_shoulder 目标速度 0.5, 当前 ") == std::string::npos) continue;
    EXPECT_EQ(lines[i + 1], Red("[ERROR] DCU dcu_left_arm (2) does not answer: the reading above is the last one it "
                                "sent, not left_shoulder's answer to this command."));
  }
  // Each of the left arm's failed checks, forward and reverse, names it.
  EXPECT_EQ(CountLinesContaining(lines, "[ERROR] DCU dcu_left_arm (2) does not answer: the reading above"), 8)
      << r.output;
  EXPECT_EQ(CountLinesContaining(lines, "does not answer: the reading above"), 8) << r.output;
  ExpectInOrder(lines, {ForwardPass("right_shoulder"), ForwardPass("right_gripper"), ReversePass("waist_yaw"),
                        ReversePass("right_shoulder"), t.fail_verdict, MayStillBeEnabled("left_shoulder"),
                        "[INFO] ZorvikController stop successfully."});
  EXPECT_EQ(CountLinesContaining(lines, "may still be enabled"), 2) << r.output;
  EXPECT_EQ(CountLinesContaining(lines, "[WARN] Actuator left_elbow may still be enabled."), 1);
  EXPECT_EQ(CountLinesContaining(lines, "Ecat link lost."), 0);
  for (const auto& name : {"waist_yaw", "right_shoulder"}) EXPECT_EQ(Enabled(name), "enabled=0") << name;
}

// A dead bus during the enable tests: the link is declared lost within about
// a second and every wait ends there, so the verdict comes within a few
// seconds; each powered actuator is named as possibly still enabled. The
// bus dies while the program waits on the first enable, which waist_yaw
// never confirms: a death at a printed line alone could land after that
// enable was genuinely confirmed.
TEST_F(SupervisedRun, DeadBusGivesItsVerdictWithinSeconds) {
  struct Death {
    const char* what;
    bool kill_simulator;
  };
  for (const Death death : {Death{"cable pulled for good", false}, Death{"simulator killed", true}}) {
    SCOPED_TRACE(death.what);
    const ToolLines t = RobotTool();
    Clock::time_point died;
    const ProgramResult r = Run(t, Config(true, 1000000, true, "  actuator_faults: {waist_yaw: no_enable}\n"),
                                {{t.imu_pass, [&](pid_t) {
                                                     died = Clock::now();
                                                     if (death.kill_simulator) {
                                                       kill(bus_->sim_pid(), SIGKILL);
                                                     } else {
                                                       bus_->Control("cable pull");
                                                     }
                                                   }}});
    EXPECT_LT(SecondsSince(died), 8.0) << r.output;
    const auto lines = r.Lines();
    std::vector<std::string> expected{Red("[ERROR] Ecat link lost."), t.fail_verdict};
    for (const auto& name : kPowered) expected.push_back(MayStillBeEnabled(name));
    expected.push_back("[INFO] ZorvikController stop successfully.");
    ExpectInOrder(lines, expected);
    EXPECT_EQ(CountLinesContaining(lines, "may still be enabled"), 4) << r.output;
    // No PASS comes from a dead board, whatever its model.
    for (const auto& name : kActuators) EXPECT_EQ(CountLinesContaining(lines, t.ActuatorPass(name)), 0) << name;
    EXPECT_EQ(CountLinesContaining(lines, "运动测试"), 0);
  }
}

// Ctrl-C with the cable pulled during dcu_selftest, which enables nothing:
// the shutdown confirms no disable, names no actuator as possibly enabled,
// and ends within 2 s.
TEST_F(SupervisedRun, InterruptWithADeadBusExitsWithinTwoSeconds) {
  const ToolLines t = DcuTool();
  Clock::time_point interrupted;
  const ProgramResult r = Run(t, Config(false), {{t.ActuatorPass("neck_yaw"), PullCableAndInterrupt(&interrupted)}});
  EXPECT_EQ(r.exit_status, 130) << r.output;
  // 2 s as promised, with a margin for a loaded machine.
  EXPECT_LT(SecondsSince(interrupted), 3.0) << r.output;
  ExpectInOrder(r.Lines(), {Yellow("[WARN] Test interrupted, commanding all actuators to zero and disabling them."),
                            "[INFO] ZorvikController stop successfully."});
  EXPECT_EQ(CountLinesContaining(r.Lines(), "may still be enabled"), 0) << r.output;
}

// Ctrl-C with the cable pulled once robot_selftest enabled every actuator:
// the replies the boards sent before the pull (the board still in OP as last
// reported) confirm no disable, so every powered actuator is named, in
// order, every time; the exit comes within 2 s.
TEST_F(SupervisedRun, InterruptWithADeadBusNamesEveryEnabledActuator) {
  const ToolLines t = RobotTool();
  Clock::time_point interrupted;
  // The last enable check is a gripper's: nothing is written after it until
  // the motion test's commands, which enable nothing.
  const ProgramResult r =
      Run(t, Config(true), {{t.ActuatorPass("right_gripper"), PullCableAndInterrupt(&interrupted)}});
  EXPECT_EQ(r.exit_status, 130) << r.output;
  EXPECT_LT(SecondsSince(interrupted), 3.0) << r.output;
  std::vector<std::string> expected{
      Yellow("[WARN] Test interrupted, commanding all actuators to zero and disabling them.")};
  for (const auto& name : kPowered) expected.push_back(MayStillBeEnabled(name));
  expected.push_back("[INFO] ZorvikController stop successfully.");
  ExpectInOrder(r.Lines(), expected);
  EXPECT_EQ(CountLinesContaining(r.Lines(), "may still be enabled"), 4) << r.output;
}

// Ctrl-C right after one board fell silent, with 2 and with 16 powered
// joints on it: their disables cannot be confirmed and are named without a
// wait each, the other board's joint is disabled, and the exit comes within
// 2 s of the signal whatever the number of joints.
TEST_F(SupervisedRun, InterruptWithASilentBoardExitsWithinTwoSeconds) {
  const ToolLines t = RobotTool();
  for (int joints : {2, 16}) {
    SCOPED_TRACE(joints);
    std::string network =
        "    - name: dcu_body\n"
        "      ecat_id: 1\n"
        "      enable: true\n"
        "      imu_enable: true\n"
        "      channel_1:\n"
        "        - {name: waist_yaw, type: KINETRA_A90, can_id: 1}\n"
        "    - name: dcu_arm\n"
        "      ecat_id: 2\n"
        "      enable: true\n"
        "      imu_enable: false\n";
    std::vector<std::string> arm;
    for (int i = 0; i < joints; ++i) {
      if (i % 8 == 0) network += "      channel_" + std::to_string(1 + i / 8) + ":\n";
      arm.push_back("arm_" + std::to_string(i));
      network += "        - {name: " + arm.back() + ", type: KINETRA_A50, can_id: " + std::to_string(1 + i % 8) + "}\n";
    }
    const std::string config = std::string("ZorvikController:\n") +
                                "  move_actuator: true\n"
                                "  imu_dcu_name: dcu_body\n"
                                "  ethercat: {ifname: eth0, enable_dc: true, bind_cpu: -1, rt_priority: -1, "
                                "cycle_time_ns: 1000000}\n"
                                "  dcu_network:\n" + network;
    Clock::time_point interrupted;
    const ProgramResult r = Run(t, config, {{t.ActuatorPass(arm.back()), [&](pid_t pid) {
                                               bus_->Control("board 2 silent");
                                               interrupted = Clock::now();
                                               kill(pid, SIGINT);
                                             }}});
    const double exit_s = SecondsSince(interrupted);
    std::printf("%d joints on a silent board: exit %.2f s after the interrupt\n", joints, exit_s);
    EXPECT_EQ(r.exit_status, 130) << r.output;
    EXPECT_LT(exit_s, 3.0) << r.output;
    const auto lines = r.Lines();
    std::vector<std::string> expected;
    for (const auto& name : arm) expected.push_back(MayStillBeEnabled(name));
    expected.push_back("[INFO] ZorvikController stop successfully.");
    ExpectInOrder(lines, expected);
    EXPECT_EQ(CountLinesContaining(lines, "may still be enabled"), joints) << r.output;
    EXPECT_EQ(Enabled("waist_yaw"), "enabled=0");
  }
}

// Boards that refuse OP without SYNC0 hold the start-up in its OP wait;
// Ctrl-C ends it within about a second.
TEST_F(SupervisedRun, InterruptDuringAStuckStartUpIsHonoured) {
  const ToolLines t = DcuTool();
  Clock::time_point interrupted;
  const ProgramResult r = Run(t, Config(false, 1000000, false, "  require_dc_for_op: true\n"),
                              {{"[DEBUG] Request operational state for all slaves", [&](pid_t pid) {
                                  interrupted = Clock::now();
                                  kill(pid, SIGINT);
                                }}});
  EXPECT_EQ(r.exit_status, 130) << r.output;
  EXPECT_LT(SecondsSince(interrupted), 2.0) << r.output;
  ExpectInOrder(r.Lines(), {Yellow("[WARN] EtherCAT start-up aborted."), Red("[ERROR] ZorvikController start failed."),
                            Yellow("[WARN] Test interrupted, commanding all actuators to zero and disabling them.")});
  EXPECT_EQ(CountLinesContaining(r.Lines(), "[TEST]"), 0);
}

// The example robot on a line that loses one frame in two hundred, one by
// one, once the bus is up: every check passes (a lost command goes out again
// next cycle), yet the line is named and the run fails; no actuator is left
// possibly enabled.
TEST_F(SupervisedRun, LineLosingOneFrameInTwoHundredFailsTheExampleRobot) {
  std::ifstream in(std::string(EXAMPLES_DIR) + "/robot.yaml");
  const std::string example((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(example.empty());
  const ToolLines t = RobotTool();
  const ProgramResult r = Run(t, example, {{"[INFO] ZorvikController start successfully.", [this](pid_t) {
                                              bus_->Control("loss 0.005");
                                            }}});
  const auto lines = r.Lines();
  EXPECT_EQ(CountLinesContaining(lines, "separate losses; check the cables and connectors (dcu_businfo --watch "
                                        "shows the errors per port)."),
            1)
      << r.output;
  EXPECT_EQ(CountLinesContaining(lines, "运动测试 **************** FAIL"), 0) << r.output;
  ExpectInOrder(lines, {t.ethercat_pass, ReversePass("right_gripper"), t.ethercat_fail, t.fail_verdict,
                        "[INFO] ZorvikController stop successfully."});
  EXPECT_EQ(CountLinesContaining(lines, "may still be enabled"), 0) << r.output;
}

// 20 ms and 50 ms cycles with distributed clocks: the whole robot test
// passes, motion included.
TEST_F(SupervisedRun, LongCyclesWithDcPass) {
  const ToolLines t = RobotTool();
  for (uint64_t cycle_ns : {20000000ULL, 50000000ULL}) {
    SCOPED_TRACE(cycle_ns);
    const ProgramResult r = Run(t, Config(true, cycle_ns));
    ExpectInOrder(r.Lines(), HealthyRobotRun(t, bus_->config_path(), kActuators));
    // A frame the loaded machine delays may cost a checking pass, never the link.
    EXPECT_EQ(CountLinesContaining(r.Lines(), "Ecat link lost."), 0) << r.output;
  }
}

// A cycle the SM watchdog cannot bridge ends the start with one clear line.
TEST_F(SupervisedRun, CycleAtTheWatchdogIsRefused) {
  const ToolLines t = DcuTool();
  const ProgramResult r = Run(t, Config(false, 100000000));
  // Every board has the default watchdog; the first one looked at is named.
  EXPECT_EQ(CountLinesContaining(r.Lines(), "[ERROR] cycle_time 100000000 ns is not below the SM watchdog time "
                                            "100000000 ns of slave node dcu_"),
            1)
      << r.output;
  ExpectInOrder(r.Lines(), {Red("[ERROR] ZorvikController start failed."), t.ethercat_fail, t.fail_verdict});
}

}  // namespace

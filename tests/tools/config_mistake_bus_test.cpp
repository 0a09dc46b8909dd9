// Whole runs of both programs against a simulated robot with files that a
// person got wrong while copying the robot's file: the simulator is built
// from the right file, the program is run with the mistaken one. None of
// them may end in a passing verdict, and every error names its cause.
// Needs root (network namespaces).

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

constexpr seconds kRunLimit(90);

// The robot as built: an arm board at position 1, a hand board at 2.
const char* const kArm =
    "    - name: dcu_arm\n"
    "      ecat_id: 1\n"
    "      enable: true\n"
    "      imu_enable: true\n"
    "      channel_1:\n"
    "        - {name: hip_pitch, type: %HIP, can_id: 1}\n"
    "        - {name: knee_pitch, type: KINETRA_A50, can_id: 2}\n";
const char* const kHand =
    "    - name: %NAME\n"
    "      ecat_id: %ID\n"
    "      enable: true\n"
    "      imu_enable: false\n"
    "      channel_2:\n"
    "        - {name: wrist, type: %WRIST, can_id: 1}\n"
    "      %CH3:\n"
    "        - {name: gripper, type: CLAVIX, can_id: 1}\n";

struct Robot {
  std::string hip = "KINETRA_A90", wrist = "KINETRA_B30";
  std::string hand_name = "dcu_hand", hand_id = "2", hand_channel_3 = "channel_3";
  std::string extra;  // appended to the network

  std::string Network() const {
    std::string arm = kArm, hand = kHand;
    arm.replace(arm.find("%HIP"), 4, hip);
    hand.replace(hand.find("%NAME"), 5, hand_name);
    hand.replace(hand.find("%ID"), 3, hand_id);
    hand.replace(hand.find("%WRIST"), 6, wrist);
    hand.replace(hand.find("%CH3"), 4, hand_channel_3);
    return arm + hand + extra;
  }
};

std::string File(const std::string& ifname, const std::string& network,
                 const std::string& move_actuator = "false") {
  return RobotFile(ifname, move_actuator, "dcu_arm", network);
}

class MistakenFile : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
    bus_ = std::make_unique<simtest::SimBus>(File("eth0", Robot().Network()));
    ASSERT_TRUE(bus_->ok()) << bus_->error();
  }

  // Runs the program with its own file, which differs from the simulator's.
  ProgramResult Run(const ToolLines& tool, const std::string& text,
                    const std::vector<std::string>& prefix = {}) {
    const std::string path = dir_.Write("program.yaml", text);
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {tool.program, path});
    ProgramResult r = RunProgram(argv, kRunLimit);
    EXPECT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_status, 0) << r.output;
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    return r;
  }

  std::string Ifname() const { return bus_->ifname(); }

  std::unique_ptr<simtest::SimBus> bus_;
  ScratchDir dir_;
};

// Each mistake ends at the configuration, naming the key, before any DCU
// is created; with the right file the same robot passes.
TEST_F(MistakenFile, CopyMistakesNeverPass) {
  struct Case {
    const char* what;
    std::string network;
    std::string error;  // the whole "[ERROR] Config parse failed." text after the tag
  };
  Robot same_id, same_name, scalar_channel, bad_id, escape, misspelt;
  same_id.hand_id = "1";
  same_name.hand_name = "dcu_arm";
  scalar_channel.hand_channel_3 = "channel_3: 7\n      unused";
  bad_id.hand_id = "two";
  escape.hand_name = "\"dcu_hand\\e[2J\\e[H\"";
  misspelt.hand_channel_3 = "channel3";
  const Case cases[] = {
      {"two enabled DCUs at one position", same_id.Network(),
       "line 19, column 16: enabled DCUs dcu_arm and dcu_hand both have ecat_id 1; each bus "
       "position holds one DCU (key path: ZorvikController.dcu_network[1].ecat_id)"},
      {"two enabled DCUs with one name", same_name.Network(),
       "line 18, column 13: two enabled DCUs are named dcu_arm, the other is "
       "ZorvikController.dcu_network[0] (key path: ZorvikController.dcu_network[1].name)"},
      {"a channel that is not a list", scalar_channel.Network(),
       "yaml-cpp: error at line 24, column 18: bad conversion, expected a list "
       "(key path: ZorvikController.dcu_network[1].channel_3)"},
      {"a network that is not a list", "    5\n",
       "yaml-cpp: error at line 11, column 5: bad conversion, expected a list "
       "(key path: ZorvikController.dcu_network)"},
      {"an ecat_id that is no number", bad_id.Network(),
       "yaml-cpp: error at line 19, column 16: bad conversion "
       "(key path: ZorvikController.dcu_network[1].ecat_id)"},
      {"a name with escape sequences", escape.Network(),
       "line 18, column 13: DCU name \"dcu_hand\\x1B[2J\\x1B[H\" holds a control character "
       "(key path: ZorvikController.dcu_network[1].name)"},
      {"a misspelt channel key", misspelt.Network(),
       "line 24, column 7: DCU dcu_hand has a key \"channel3\", but its channels are channel_1, "
       "channel_2 and channel_3 (key path: ZorvikController.dcu_network[1].channel3)"},
  };
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " / " + t.program);
      const ProgramResult r = Run(t, File(Ifname(), c.network));
      const auto lines = r.Lines();
      ExpectInOrder(lines, {Red("[ERROR] Config parse failed. " + c.error), "", "", t.start,
                            t.ethercat_fail, t.fail_verdict});
      EXPECT_EQ(CountLinesContaining(lines, "created"), 0);
      EXPECT_EQ(CountLinesContaining(lines, "ZorvikController start"), 0);
      EXPECT_EQ(r.output.find("\033[2J"), std::string::npos);
    }
  }

  // The right file, and a spare board filed at an enabled board's position
  // but disabled, pass.
  Robot spare;
  spare.extra =
      "    - {name: dcu_arm_spare, ecat_id: 1, enable: false, imu_enable: false,\n"
      "       channel_1: [{name: spare_joint, type: KINETRA_A90, can_id: 1}]}\n";
  const std::vector<std::string> actuators = {"hip_pitch", "knee_pitch", "wrist", "gripper"};
  for (const Robot& robot : {Robot(), spare}) {
    ExpectInOrder(Run(DcuTool(), File(Ifname(), robot.Network())).Lines(),
                  HealthyDcuRun(DcuTool(), dir_.path() + "/program.yaml", actuators));
    ExpectInOrder(Run(RobotTool(), File(Ifname(), robot.Network())).Lines(),
                  {RobotTool().ethercat_pass, RobotTool().imu_pass,
                   RobotTool().ActuatorPass("hip_pitch"), RobotTool().ActuatorPass("gripper"),
                   RobotTool().pass_verdict});
  }
}

// The shake-hand reply names the device's model: an actuator configured as
// another model than it is gets a warning right before its test line; the
// verdict rules are unchanged.
TEST_F(MistakenFile, ModelMismatchIsWarnedBeforeTheHandshakeLine) {
  Robot swapped;
  swapped.hip = "KINETRA_A50";   // the board carries a KINETRA_A90
  swapped.wrist = "KINETRA_A90";  // the board carries a KINETRA_B30
  const ToolLines t = DcuTool();
  const auto lines = Run(t, File(Ifname(), swapped.Network())).Lines();
  ExpectInOrder(lines,
                {t.ethercat_pass, t.imu_pass,
                 Yellow("[WARN] Actuator hip_pitch is configured as KINETRA_A50 but answers as "
                        "KINETRA_A90."),
                 t.ActuatorPass("hip_pitch"), t.ActuatorPass("knee_pitch"),
                 Yellow("[WARN] Actuator wrist is configured as KINETRA_A90 but answers as "
                        "KINETRA_B30."),
                 t.ActuatorPass("wrist"), t.ActuatorPass("gripper"), t.pass_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "[WARN] Actuator"), 2);

  // As configured: no warning.
  EXPECT_EQ(CountLinesContaining(Run(t, File(Ifname(), Robot().Network())).Lines(), "[WARN]"), 0);
}

// The interface line is followed by its real cause.
TEST_F(MistakenFile, InterfaceErrorsNameTheirCause) {
  const std::string network = Robot().Network();
  struct Case {
    std::string ifname, cause;
    bool as_nobody;
  } cases[] = {
      {"zv_nowhere0", "No network interface named zv_nowhere0 on this computer (see ip link).",
       false},
      {"enp0s31f6_ecat01",
       "Interface name enp0s31f6_ecat01 is longer than 15 characters; no interface can have it.",
       false},
      // The simulator's own interface, without the rights to open it.
      {Ifname(),
       "No permission for a raw socket on " + Ifname() +
           ": run as root or give the program CAP_NET_RAW.",
       true},
  };
  chmod(dir_.path().c_str(), 0755);
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.ifname + " / " + t.program);
      const std::vector<std::string> prefix =
          c.as_nobody ? std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534",
                                                 "--clear-groups", "--inh-caps=-all"}
                      : std::vector<std::string>{};
      const auto lines = Run(t, File(c.ifname, network), prefix).Lines();
      const std::string root_line =
          Red("[ERROR] No socket connection on " + c.ifname + ", Execute as root.");
      ExpectInOrder(lines, {root_line, Red("[ERROR] " + c.cause),
                            Red("[ERROR] ZorvikController start failed."), t.ethercat_fail,
                            t.fail_verdict});
      // One cause line, right after the existing one.
      for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == root_line) {
          EXPECT_EQ(lines[i + 1], Red("[ERROR] " + c.cause));
        }
      }
    }
  }
}

}  // namespace

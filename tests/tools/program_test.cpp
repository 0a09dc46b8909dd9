// The programs' paths that end before the bus is started: the command line,
// unreadable configurations and refused registrations. No bus, no root.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

// Parameter: the program's name.
class BothTools : public testing::TestWithParam<std::string> {
 protected:
  ToolLines tool_ = GetParam() == "dcu_selftest" ? DcuTool() : RobotTool();
  ScratchDir dir_;

  ProgramResult Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{tool_.program};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(argv, seconds(30));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    return r;
  }

  // The run after a failed set-up, from the configuration line on.
  std::vector<std::string> SetupFailure(const std::string& path,
                                        const std::vector<std::string>& errors) {
    std::vector<std::string> lines{Green("[DEBUG] Load config from " + path + ".")};
    lines.insert(lines.end(), errors.begin(), errors.end());
    lines.insert(lines.end(), {"", "", tool_.start, tool_.ethercat_fail, tool_.fail_verdict});
    return lines;
  }

  // Robot-only keys are harmless to the DCU tool.
  std::string Config(const std::string& ethercat, const std::string& network) {
    return "ZorvikController:\n  move_actuator: false\n  imu_dcu_name: none\n"
           "  ethercat:\n" + ethercat + "  dcu_network:\n" + network;
  }
};

const char* const kEthercat =
    "    ifname: zv_none0\n    enable_dc: true\n    bind_cpu: -1\n    rt_priority: -1\n"
    "    cycle_time_ns: 1000000\n";

std::vector<std::string> Tail(const std::vector<std::string>& lines, size_t from) {
  return std::vector<std::string>(lines.begin() + std::min(from, lines.size()), lines.end());
}

TEST_P(BothTools, WrongArgumentCountPrintsUsageOnly) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a.yaml", "b.yaml"}}) {
    const auto lines = Run(args).Lines();
    ExpectBanner(lines, tool_);
    EXPECT_EQ(Tail(lines, 3), std::vector<std::string>{Red("[ERROR] Usage: ./main cfg_file")});
  }
}

TEST_P(BothTools, MissingFile) {
  const std::string path = dir_.path() + "/absent.yaml";
  const auto lines = Run({path}).Lines();
  ExpectBanner(lines, tool_);
  EXPECT_EQ(Tail(lines, 3),
            SetupFailure(path, {Red("[ERROR] Config parse failed. bad file: " + path)}));
}

TEST_P(BothTools, YamlSyntaxError) {
  const std::string path = dir_.Write("broken.yaml", "ZorvikController:\n  ethercat: [eth0,\n");
  const auto lines = Run({path}).Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[4].rfind("\033[31m[ERROR] Config parse failed. yaml-cpp: error at line ", 0), 0u)
      << lines[4];
  EXPECT_EQ(Tail(lines, 3), SetupFailure(path, {lines[4]}));
}

TEST_P(BothTools, MissingEthercatKeyIsNamedByTheDecoder) {
  const std::string path = dir_.Write(
      "no_bind_cpu.yaml",
      Config("    ifname: eth0\n    enable_dc: true\n    rt_priority: -1\n"
             "    cycle_time_ns: 1000000\n",
             "    []\n"));
  EXPECT_EQ(Tail(Run({path}).Lines(), 3),
            SetupFailure(path,
                         {"Parse EtherConfig failed, invalid node; first invalid key: \"bind_cpu\"",
                          Red("[ERROR] Config parse failed. invalid node; first invalid key: "
                              "\"bind_cpu\" (key path: ZorvikController.ethercat.bind_cpu)")}));
}

TEST_P(BothTools, MissingActuatorKeyIsNamedByTheDecoder) {
  const std::string path = dir_.Write(
      "no_can_id.yaml",
      Config(kEthercat,
             "    - name: dcu_a\n      ecat_id: 1\n      enable: true\n      imu_enable: true\n"
             "      channel_2:\n        - {name: j1, type: CLAVIX}\n"));
  EXPECT_EQ(
      Tail(Run({path}).Lines(), 3),
      SetupFailure(path,
                   {"Parse DcuNetworkConfig failed, invalid node; first invalid key: \"can_id\"",
                    Red("[ERROR] Config parse failed. invalid node; first invalid key: \"can_id\" "
                        "(key path: ZorvikController.dcu_network[0].channel_2[0].can_id)")}));
}

// Type texts are compared exactly: set-up stops at the first one that is not
// a model, after the actuators before it were attached and without looking
// at those after it.
TEST_P(BothTools, UnknownOrLowerCaseTypeStopsSetup) {
  for (const std::string bad : {"kinetra_a90", "KINETRA_A70"}) {
    const std::string path = dir_.Write(
        "type.yaml",
        Config(kEthercat,
               "    - name: dcu_a\n      ecat_id: 1\n      enable: true\n      imu_enable: true\n"
               "      channel_1:\n"
               "        - {name: j1, type: KINETRA_A90, can_id: 1}\n"
               "        - {name: j2, type: " + bad + ", can_id: 2}\n"
               "        - {name: never_read, type: KINETRA_B30, can_id: 3}\n"));
    const auto lines = Run({path}).Lines();
    ExpectInOrder(lines, {Green("[DEBUG] Attach actuator j1 1 to DCU dcu_a Channel 1."),
                          Red("[ERROR] Actuator j2 type 0 is not supported."),
                          Red("[ERROR] Actuator j2 register failed."), "", "", tool_.start,
                          tool_.ethercat_fail, tool_.fail_verdict});
    EXPECT_EQ(CountLinesContaining(lines, "never_read"), 0);
    EXPECT_EQ(CountLinesContaining(lines, "ZorvikController start"), 0);
  }
}

// The controller takes 8-bit ids; larger values are refused instead of
// being cut to their low 8 bits (257 would address board 1).
TEST_P(BothTools, IdsAbove255AreRefused) {
  const std::string dcu =
      "    - name: dcu_a\n      ecat_id: %E\n      enable: true\n      imu_enable: true\n"
      "      channel_3:\n        - {name: j1, type: CLAVIX, can_id: %C}\n";
  auto network = [&](const std::string& ecat_id, const std::string& can_id) {
    std::string text = dcu;
    text.replace(text.find("%E"), 2, ecat_id);
    text.replace(text.find("%C"), 2, can_id);
    return text;
  };

  std::string path = dir_.Write("ecat_id.yaml", Config(kEthercat, network("257", "1")));
  auto lines = Run({path}).Lines();
  ExpectInOrder(lines, {Red("[ERROR] DCU dcu_a ecat_id 257 is out of range, the largest is 255."),
                        Red("[ERROR] DCU dcu_a register failed."), tool_.ethercat_fail});
  EXPECT_EQ(CountLinesContaining(lines, "Attach actuator"), 0);

  for (const std::string can_id : {"256", "300"}) {
    path = dir_.Write("can_id.yaml", Config(kEthercat, network("1", can_id)));
    lines = Run({path}).Lines();
    ExpectInOrder(lines,
                  {Red("[ERROR] Actuator j1 can_id " + can_id +
                       " is out of range, the largest is 255."),
                   Red("[ERROR] Actuator j1 register failed."), tool_.ethercat_fail});
    EXPECT_EQ(CountLinesContaining(lines, "Attach actuator"), 0);
  }

  // 0 fits the byte and is left to the controller to refuse.
  path = dir_.Write("can_id_0.yaml", Config(kEthercat, network("1", "0")));
  ExpectInOrder(Run({path}).Lines(), {Red("[ERROR] Actuator j1 invalid id 0, attach failed."),
                                      Red("[ERROR] Actuator j1 register failed."),
                                      tool_.ethercat_fail});
}

// Two enabled DCUs with one name are refused while the file is read:
// nothing is registered (the second record's actuators would otherwise land
// on the first DCU's board).
TEST_P(BothTools, DuplicateNames) {
  const std::string path = dir_.Write(
      "dup.yaml",
      Config(kEthercat,
             "    - {name: dcu_a, ecat_id: 1, enable: true, imu_enable: false,\n"
             "       channel_1: [{name: j1, type: KINETRA_A50, can_id: 1}]}\n"
             "    - {name: dcu_a, ecat_id: 2, enable: true, imu_enable: false,\n"
             "       channel_1: [{name: j2, type: KINETRA_A50, can_id: 2},\n"
             "                   {name: j1, type: KINETRA_A50, can_id: 3}]}\n"));
  const auto lines = Run({path}).Lines();
  EXPECT_EQ(Tail(lines, 3),
            SetupFailure(path, {Red("[ERROR] Config parse failed. line 13, column 14: two enabled "
                                    "DCUs are named dcu_a, the other is "
                                    "ZorvikController.dcu_network[0] "
                                    "(key path: ZorvikController.dcu_network[1].name)")}));
  EXPECT_EQ(CountLinesContaining(lines, "Attach actuator"), 0);
}

// A disabled DCU is skipped whole, its actuators unread; set-up then goes
// on to start the bus, which fails on an interface that does not exist.
TEST_P(BothTools, DisabledDcuSkippedAndStartFailure) {
  const std::string path = dir_.Write(
      "start.yaml",
      Config(kEthercat,
             "    - {name: dcu_off, ecat_id: 1, enable: false, imu_enable: true,\n"
             "       channel_1: [{name: skipped_joint, type: NOT_A_MODEL, can_id: 999}]}\n"
             "    - {name: dcu_a, ecat_id: 2, enable: true, imu_enable: false,\n"
             "       channel_2: [{name: j1, type: KINETRA_B30, can_id: 4}]}\n"));
  const auto lines = Run({path}).Lines();
  ExpectInOrder(lines, {Green("[DEBUG] Attach actuator j1 4 to DCU dcu_a Channel 2."),
                        Red("[ERROR] ZorvikController start failed."),
                        Red("[ERROR] DCU 初始化失败 !!!"), "", "", tool_.start,
                        tool_.ethercat_fail, tool_.fail_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "dcu_off"), 0);
  EXPECT_EQ(CountLinesContaining(lines, "skipped_joint"), 0);
  EXPECT_EQ(lines.back(), tool_.fail_verdict);
}

INSTANTIATE_TEST_SUITE_P(Programs, BothTools, testing::Values("dcu_selftest", "robot_selftest"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

// The robot tool reads two more keys, before the others.
TEST(RobotToolConfig, OwnKeysAreRequired) {
  const ToolLines tool = RobotTool();
  ScratchDir dir;
  const std::string rest =
      "  ethercat:\n" + std::string(kEthercat) + "  dcu_network: []\n";
  struct Case {
    std::string text, error;
  } cases[] = {
      {"ZorvikController:\n  imu_dcu_name: none\n" + rest,
       "invalid node; first invalid key: \"move_actuator\" (key path: ZorvikController.move_actuator)"},
      {"ZorvikController:\n  move_actuator: true\n" + rest,
       "invalid node; first invalid key: \"imu_dcu_name\" (key path: ZorvikController.imu_dcu_name)"},
      {"ZorvikController:\n  move_actuator: 2\n  imu_dcu_name: none\n" + rest,
       "yaml-cpp: error at line 2, column 18: bad conversion (key path: ZorvikController.move_actuator)"},
  };
  for (const auto& c : cases) {
    const std::string path = dir.Write("robot.yaml", c.text);
    const auto result = RunProgram({tool.program, path}, seconds(30));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(Tail(result.Lines(), 3),
              (std::vector<std::string>{Green("[DEBUG] Load config from " + path + "."),
                                        Red("[ERROR] Config parse failed. " + c.error), "", "",
                                        tool.start, tool.ethercat_fail, tool.fail_verdict}));
  }
}

}  // namespace

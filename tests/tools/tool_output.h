// Expected output of the two self-test programs and helpers to compare a
// run's lines with it.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/tools/program_runner.h"
#include "tests/support/build_paths.h"

namespace tooltest {

// The "[TEST]" lines differ between the programs in their number of
// asterisks; everything else is shared.
struct ToolLines {
  std::string program;  // path of the executable
  std::string banner;   // first banner line
  std::string start, pass_verdict, fail_verdict;
  std::string ethercat_pass, ethercat_fail;
  std::string imu_pass, imu_fail;

  std::string ActuatorPass(const std::string& name) const { return Green(Format(pass_fmt, name)); }
  std::string ActuatorFail(const std::string& name) const { return Red(Format(fail_fmt, name)); }

  std::string pass_fmt, fail_fmt;  // per-actuator line, %s = name

  static std::string Format(const std::string& fmt, const std::string& name) {
    const size_t at = fmt.find("%s");
    return fmt.substr(0, at) + name + fmt.substr(at + 2);
  }
};

// The four actuators of the one-board robot, in attachment order.
inline const std::vector<std::string> kEveryModel = {"hip_pitch", "knee_pitch", "wrist_roll", "gripper"};

// One DCU (dcu_main, position 1) carrying every model.
inline const char* const kEveryModelDcu =
    "    - name: dcu_main\n"
    "      ecat_id: 1\n"
    "      enable: true\n"
    "      imu_enable: true\n"
    "      channel_1:\n"
    "        - {name: hip_pitch, type: KINETRA_A90, can_id: 1}\n"
    "        - {name: knee_pitch, type: KINETRA_A50, can_id: 2}\n"
    "      channel_2:\n"
    "        - {name: wrist_roll, type: KINETRA_B30, can_id: 1}\n"
    "      channel_3:\n"
    "        - {name: gripper, type: CLAVIX, can_id: 1}\n";

// A configuration file for both programs (and, with `simulator`, for the
// simulated network): the usual bus settings on `ifname`, the given robot
// keys and DCU network.
inline std::string RobotFile(const std::string& ifname, const std::string& move_actuator,
                             const std::string& imu_dcu_name, const std::string& network,
                             const std::string& simulator = "") {
  std::string text = "ZorvikController:\n"
                     "  move_actuator: " + move_actuator + "\n"
                     "  imu_dcu_name: " + imu_dcu_name + "\n"
                     "  ethercat:\n"
                     "    ifname: " + ifname + "\n"
                     "    enable_dc: true\n"
                     "    bind_cpu: -1\n"
                     "    rt_priority: -1\n"
                     "    cycle_time_ns: 1000000\n"
                     "  dcu_network:\n" + network;
  if (!simulator.empty()) text += "DcuSimulator:\n" + simulator;
  return text;
}

inline ToolLines DcuTool() {
  ToolLines t;
  t.program = DCU_SELFTEST_PATH;
  t.banner = "DCU test tools powered by selftest@zorvik.dev.";
  t.start = Green("[TEST] **************** 开始测试 ****************");
  t.pass_verdict = Green("[TEST] **************** 测试通过 ****************");
  t.fail_verdict = Red("[TEST] **************** 测试失败 ****************");
  t.ethercat_pass = Green("[TEST] EtherCAT **************************** PASS");
  t.ethercat_fail = Red("[TEST] EtherCAT **************************** FAIL");
  t.imu_pass = Green("[TEST] IMU ********************************* PASS");
  t.imu_fail = Red("[TEST] IMU ********************************* FAIL");
  t.pass_fmt = "[TEST] %s ****************************** PASS";
  t.fail_fmt = "[TEST] %s ****************************** FAIL";
  return t;
}

inline ToolLines RobotTool() {
  ToolLines t;
  t.program = ROBOT_SELFTEST_PATH;
  t.banner = "M3 test tools powered by selftest@zorvik.dev.";
  t.start = Green("[TEST] **************** 开始测试 *****************");
  t.pass_verdict = Green("[TEST] **************** 测试通过 *****************");
  t.fail_verdict = Red("[TEST] **************** 测试失败 *****************");
  t.ethercat_pass = Green("[TEST] EtherCAT ***************************** PASS");
  t.ethercat_fail = Red("[TEST] EtherCAT ***************************** FAIL");
  t.imu_pass = Green("[TEST] IMU ********************************** PASS");
  t.imu_fail = Red("[TEST] IMU ********************************** FAIL");
  t.pass_fmt = "[TEST] %s 使能 ************************ PASS";
  t.fail_fmt = "[TEST] %s 使能 ************************ FAIL";
  return t;
}

inline std::string ForwardPass(const std::string& n) {
  return Green("[TEST] " + n + " 正向运动测试 **************** PASS");
}
inline std::string ForwardFail(const std::string& n) {
  return Red("[TEST] " + n + " 正向运动测试 **************** FAIL");
}
inline std::string ReversePass(const std::string& n) {
  return Green("[TEST] " + n + " 反向运动测试 **************** PASS");
}
inline std::string ReverseFail(const std::string& n) {
  return Red("[TEST] " + n + " 反向运动测试 **************** FAIL");
}

// The lines of a run in which everything passes, from the configuration
// line to the bus stop (other lines, e.g. the bus manager's, may lie
// between them).
inline std::vector<std::string> HealthyDcuRun(const ToolLines& t, const std::string& path,
                                              const std::vector<std::string>& actuators) {
  std::vector<std::string> lines{Green("[DEBUG] Load config from " + path + "."),
                                 "[INFO] ZorvikController start successfully.",
                                 "", "", t.start, t.ethercat_pass, t.imu_pass};
  for (const auto& name : actuators) lines.push_back(t.ActuatorPass(name));
  lines.insert(lines.end(), {t.pass_verdict, "", "", "[INFO] ZorvikController stop successfully."});
  return lines;
}

inline std::vector<std::string> HealthyRobotRun(const ToolLines& t, const std::string& path,
                                                const std::vector<std::string>& actuators) {
  std::vector<std::string> lines{Green("[DEBUG] Load config from " + path + "."),
                                 "[INFO] ZorvikController start successfully.",
                                 "", "", t.start, t.ethercat_pass, t.imu_pass};
  for (const auto& name : actuators) lines.push_back(t.ActuatorPass(name));
  for (const auto& name : actuators) lines.push_back(ForwardPass(name));
  for (const auto& name : actuators) lines.push_back(ReversePass(name));
  lines.insert(lines.end(), {t.pass_verdict, "", "", "[INFO] ZorvikController stop successfully."});
  return lines;
}

// The three banner lines: address, version with the build stamp, empty.
inline void ExpectBanner(const std::vector<std::string>& lines, const ToolLines& tool) {
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], tool.banner);
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(R"(Ver 0\.1\.3, Compiled in [A-Z][a-z]{2} [ 0-9]\d \d{4} \d\d:\d\d:\d\d\.)")))
      << lines[1];
  EXPECT_EQ(lines[2], "");
}

// Every expected line appears, whole and in this order; other lines may lie
// between them.
inline void ExpectInOrder(const std::vector<std::string>& lines,
                          const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const auto& want : expected) {
    size_t found = at;
    while (found < lines.size() && lines[found] != want) ++found;
    if (found == lines.size()) {
      std::string dump;
      for (const auto& l : lines) dump += "  | " + l + "\n";
      ADD_FAILURE() << "missing (in order) line: " << want << "\noutput:\n" << dump;
      return;
    }
    at = found + 1;
  }
}

inline int CountLinesContaining(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (const auto& l : lines) n += l.find(text) != std::string::npos;
  return n;
}

// A scratch folder for configuration files, removed with its files.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/selftest_cfg_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchDir() {
    for (const auto& f : files_) unlink(f.c_str());
    rmdir(path_.c_str());
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << text;
    files_.push_back(file);
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace tooltest

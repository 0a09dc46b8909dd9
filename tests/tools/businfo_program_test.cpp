// dcu_businfo's paths that end before a bus is surveyed: the command line, an
// unreadable file, an interface that cannot be opened. Each must end with
// status 1 so that a script can trust 0, and --json must still give one
// document on standard output.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tests/support/build_paths.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

ProgramResult RunBusinfo(const std::vector<std::string>& args) {
  std::vector<std::string> argv{DCU_BUSINFO_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult r = RunProgram(argv, seconds(30));
  EXPECT_FALSE(r.timed_out);
  return r;
}

TEST(BusinfoProgram, BadCommandLinesAreRefused) {
  ScratchDir dir;
  const std::string path = dir.Write("robot.yaml", "ZorvikController: {}\n");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {path, "--watch"}, {path, "--watch", "0"}, {path, "--watch", "2s"}, {path, "--verbose"},
           {path, path}}) {
    const ProgramResult r = RunBusinfo(args);
    EXPECT_EQ(r.exit_status, 1) << r.output;
    EXPECT_EQ(r.Lines().back(), Red("[ERROR] Usage: dcu_businfo CONFIG.yaml [--watch SECONDS] [--json]"));
  }
}

TEST(BusinfoProgram, UnreadableFileAndUnknownInterface) {
  ScratchDir dir;
  const std::string absent = dir.path() + "/absent.yaml";
  ProgramResult r = RunBusinfo({absent});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.output.find(Red("[ERROR] Config parse failed. bad file: " + absent)) != std::string::npos)
      << r.output;

  // The decoder's own line must not reach the JSON document.
  const std::string no_bind = dir.Write(
      "no_bind.yaml",
      "ZorvikController:\n  ethercat: {ifname: zv_none0, enable_dc: true, rt_priority: -1, cycle_time_ns: 1}\n"
      "  dcu_network: []\n");
  r = RunBusinfo({no_bind, "--json"});
  EXPECT_EQ(r.exit_status, 1);
  nlohmann::json doc = nlohmann::json::parse(r.output, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.output;
  EXPECT_EQ(doc["matches"], false);
  EXPECT_TRUE(doc["slaves"].empty());

  const std::string no_interface = dir.Write(
      "no_if.yaml",
      "ZorvikController:\n  ethercat: {ifname: zv_none0, enable_dc: true, bind_cpu: -1, rt_priority: -1,"
      " cycle_time_ns: 1000000}\n  dcu_network:\n    - {name: dcu_a, ecat_id: 1, enable: true, imu_enable: false}\n");
  r = RunBusinfo({no_interface, "--json"});
  EXPECT_EQ(r.exit_status, 1);
  doc = nlohmann::json::parse(r.output, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.output;
  EXPECT_EQ(doc["matches"], false);
  EXPECT_EQ(doc["interface"], "zv_none0");
}

// The "[ERROR]" lines of a run up to its verdict, without colour; the
// survey's closing line about the file is not one of the refusal's.
std::vector<std::string> RefusalLines(const ProgramResult& r) {
  std::vector<std::string> lines;
  for (std::string line : r.Lines()) {
    if (line.rfind("\033[31m[ERROR] ", 0) != 0) continue;
    line = line.substr(5, line.size() - 9);
    if (line.find("The bus cannot be compared with") != std::string::npos) continue;
    if (line.find("DCU 初始化失败") != std::string::npos) continue;
    lines.push_back(line);
  }
  return lines;
}

// The files the self-tests refuse, dcu_businfo refuses too, with the same
// lines, exit status 1 and the reason in its JSON. Among them files it used
// to answer "bus matches" for.
TEST(BusinfoProgram, RefusesWhatTheSelfTestsRefuseWithTheSameLines) {
  ScratchDir dir;
  const std::string head =
      "ZorvikController:\n  move_actuator: false\n  imu_dcu_name: none\n"
      "  ethercat: {ifname: zv_none0, enable_dc: true, bind_cpu: -1, rt_priority: -1, cycle_time_ns: %C}\n"
      "  dcu_network:\n";
  auto file = [&](const std::string& network, const std::string& cycle = "1000000") {
    std::string text = head;
    text.replace(text.find("%C"), 2, cycle);
    return text + network;
  };
  auto board = [](int id, const std::string& channel_1) {
    return "    - {name: d" + std::to_string(id) + ", ecat_id: " + std::to_string(id) +
           ", enable: true, imu_enable: false, channel_1: " + channel_1 + "}\n";
  };
  std::string nine_boards, nine_actuators = "[";
  for (int i = 1; i <= 9; ++i) {
    nine_boards += board(i, "[]");
    nine_actuators += std::string(i > 1 ? ", " : "") + "{name: j" + std::to_string(i) +
                      ", type: CLAVIX, can_id: " + std::to_string((i - 1) % 8 + 1) + "}";
  }
  const std::vector<std::string> files = {
      "shared: &arm [{name: j, type: CLAVIX, can_id: 1}]\n" + file(board(1, "*arm") + board(2, "*arm")),
      file(board(1, "[{name: j, type: CLAVIX, can_id: 0}]")),
      file(board(1, "[{name: j, type: CLAVIX, can_id: 9}]")),
      file(board(1, "[{name: j, type: CLAVIX, can_id: 2}, {name: k, type: CLAVIX, can_id: 2}]")),
      file(board(1, nine_actuators + "]")),
      file(board(1, "[]"), "0"),
      file(board(1, "[]"), "4294967296"),
      file(nine_boards),
  };
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const std::string path = dir.Write("case" + std::to_string(i) + ".yaml", files[i]);
    const ProgramResult survey = RunBusinfo({path});
    EXPECT_EQ(survey.exit_status, 1);
    EXPECT_EQ(survey.Lines().back(),
              Red("[ERROR] The bus cannot be compared with " + path + ": the file cannot be read."));
    const std::vector<std::string> lines = RefusalLines(survey);
    ASSERT_FALSE(lines.empty()) << survey.output;
    for (const char* program : {DCU_SELFTEST_PATH, ROBOT_SELFTEST_PATH}) {
      const ProgramResult selftest = RunProgram({program, path}, seconds(30));
      EXPECT_EQ(RefusalLines(selftest), lines) << program << "\n" << selftest.output;
      EXPECT_EQ(CountLinesContaining(selftest.Lines(), "zv_none0"), 0) << "refused before the bus";
    }
    const ProgramResult json = RunBusinfo({path, "--json"});
    const nlohmann::json doc = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << json.output;
    std::string reason;
    for (const std::string& line : lines) reason += (reason.empty() ? "" : "\n") + line.substr(8);
    EXPECT_EQ(doc["config_error"], reason);
    EXPECT_EQ(doc["matches"], false);
  }
}

// The reading of an unusable file never waits or grows, and an interrupt
// during the reading ends the survey with 130.
TEST(BusinfoProgram, FilesThatAreNoFilesAndAnInterruptWhileReading) {
  ScratchDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.path(), fifo}) {
    const ProgramResult r = RunBusinfo({path, "--json"});
    EXPECT_EQ(r.exit_status, 1);
    const nlohmann::json doc = nlohmann::json::parse(r.output, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.output;
    const std::string kind = path == fifo ? "a FIFO" : "a directory";
    EXPECT_EQ(doc["config_error"], "Config parse failed. bad file: " + path + ": " + kind + ", not a regular file");
  }
  unlink(fifo.c_str());

  std::string text =
      "ZorvikController:\n  ethercat: {ifname: zv_none0, enable_dc: true, bind_cpu: -1, rt_priority: -1,"
      " cycle_time_ns: 1000000}\n  dcu_network: [";
  while (text.size() < 1024 * 1024 - 16) text += "{a: 1},";
  const std::string large = dir.Write("large.yaml", text + "]\n");
  std::chrono::steady_clock::time_point sent;
  const ProgramResult r = RunProgram({DCU_BUSINFO_PATH, large}, seconds(30),
                                     {{"[DEBUG] Load config from", [&](pid_t pid) {
                                         sent = std::chrono::steady_clock::now();
                                         kill(pid, SIGINT);
                                       }}});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::chrono::seconds bound(10);  // the sanitizer's leak check at exit is not the program's
#else
  const std::chrono::seconds bound(1);
#endif
  EXPECT_LT(std::chrono::steady_clock::now() - sent, bound);
  EXPECT_EQ(r.exit_status, 130) << r.output;
  EXPECT_EQ(r.Lines().back(), Yellow("[WARN] Interrupted; the bus is back in INIT."));
}

}  // namespace

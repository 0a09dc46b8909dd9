// The flight recorder on the simulated robot: the frames of a run kept in a
// pcap file that tshark reads, and a run's faults played again from its JSON
// report on the simulator (scripts/report_to_scenario.py), which must give
// the same verdict and the same [ERROR] lines. Needs root (network
// namespaces); the capture checks also need tshark and skip without it.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tests/support/build_paths.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

constexpr seconds kRunLimit(90);

const char* const kRobot =
    "    - name: dcu_body\n"
    "      ecat_id: 1\n"
    "      enable: true\n"
    "      imu_enable: true\n"
    "      channel_1:\n"
    "        - {name: waist_yaw, type: KINETRA_A90, can_id: 1}\n"
    "    - name: dcu_left_arm\n"
    "      ecat_id: 2\n"
    "      enable: true\n"
    "      imu_enable: false\n"
    "      channel_1:\n"
    "        - {name: left_shoulder, type: KINETRA_A90, can_id: 1}\n"
    "        - {name: left_elbow, type: KINETRA_A50, can_id: 2}\n"
    "      channel_3:\n"
    "        - {name: left_gripper, type: CLAVIX, can_id: 1}\n"
    "    - name: dcu_right_arm\n"
    "      ecat_id: 3\n"
    "      enable: true\n"
    "      imu_enable: false\n"
    "      channel_1:\n"
    "        - {name: right_shoulder, type: KINETRA_A90, can_id: 1}\n";

std::string Config(const std::string& simulator = "") { return RobotFile("eth0", "false", "dcu_body", kRobot, simulator); }


bool HaveTshark() { return ShellOutput("command -v tshark").find("tshark") != std::string::npos; }

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

nlohmann::json ReadJson(const std::string& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in, nullptr, false);
}

// The [ERROR] lines of a run, each once, without colour: the supervision
// repeats some of its lines every pass, as often as the fault lasted.
// The distinct [ERROR] lines of a run, without colours, as far as a replay
// can reproduce them: the fault, not the steps of its repair. Which states a
// repaired board was seen in on its way back, and whether it was back by the
// end of the run, is a race between the supervision's polls, the repair and
// the run's last check: a board's summary keeps only the first thing seen of
// it, and the supervision's "change to OPERATIONAL" steps are left out.
std::set<std::string> ErrorLines(const ProgramResult& r) {
  std::set<std::string> lines;
  for (std::string line : r.Lines()) {
    for (const std::string code : {"\033[31m", "\033[32m", "\033[33m", "\033[0m"}) {
      for (size_t at; (at = line.find(code)) != std::string::npos;) line.erase(at, code.size());
    }
    if (line.find("[ERROR]") == std::string::npos) continue;
    const std::string step = ", change to OPERATIONAL.";
    if (line.size() >= step.size() && line.compare(line.size() - step.size(), step.size(), step) == 0) continue;
    const std::string summary = " left OP during the test: ";
    const size_t at = line.find(summary);
    if (at != std::string::npos) {
      const size_t first = at + summary.size();
      line = line.substr(0, line.find_first_of(",;", first)) + ", ...";
    }
    lines.insert(line);
  }
  return lines;
}

std::string Join(const std::set<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

class FlightRecorder : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
    char tmpl[] = "/tmp/flight_recorder_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    unsetenv("SELFTEST_OUTPUT");
    bus_.reset();
    if (!dir_.empty() && std::getenv("FLIGHT_RECORDER_KEEP") == nullptr) ShellOutput("rm -rf '" + dir_ + "'");
  }

  // Starts the simulator on config and runs the robot self-test against it
  // with the given SELFTEST_OUTPUT.
  ProgramResult Run(const std::string& config, const std::string& output, std::vector<Trigger> triggers = {}) {
    bus_.reset();
    bus_ = std::make_unique<simtest::SimBus>(config);
    if (!bus_->ok()) {
      ADD_FAILURE() << "simulator did not start: " << bus_->error();
      return {};
    }
    setenv("SELFTEST_OUTPUT", output.c_str(), 1);
    ProgramResult r = RunProgram({RobotTool().program, bus_->config_path()}, kRunLimit, std::move(triggers));
    unsetenv("SELFTEST_OUTPUT");
    EXPECT_FALSE(r.timed_out) << r.output;
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    return r;
  }

  // Frames of a capture that tshark finds malformed or in error.
  static std::string Malformed(const std::string& pcap) {
    return ShellOutput("tshark -r '" + pcap + "' -Y '_ws.malformed || _ws.expert.severity == error' -T fields "
                 "-e frame.number 2>/dev/null");
  }

  std::unique_ptr<simtest::SimBus> bus_;
  std::string dir_;
};

// Board 2 is forced to SAFE_OP+ERROR once the bus runs. The capture holds
// the AL status read that board 2 answered with SAFE_OP+ERROR (0x14), just
// before the supervision event the report has for it, and tshark finds no
// malformed frame in it.
TEST_F(FlightRecorder, CaptureHoldsTheStateReadOfABoardInSafeOpWithError) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  const std::string report = dir_ + "/run.json";
  const std::string pcap = dir_ + "/run.pcap";
  const ProgramResult r = Run(Config(), "json:" + report + ",pcap:" + pcap,
                              {{RobotTool().ethercat_pass, [this](pid_t) {
                                  bus_->Control("board 2 state SAFE_OP error code 0x001B");
                                }}});
  const nlohmann::json doc = ReadJson(report);
  ASSERT_TRUE(doc.is_object()) << r.output;
  EXPECT_EQ(doc.value("verdict", ""), "fail");
  ASSERT_TRUE(doc["capture"].is_object()) << doc.dump(2);
  EXPECT_EQ(doc["capture"].value("path", ""), pcap);
  EXPECT_TRUE(doc["capture"].value("written", false));
  const uint64_t frames = doc["capture"].value("frames", 0ull);
  EXPECT_GT(frames, 100u);
  EXPECT_EQ(ShellOutput("tshark -r '" + pcap + "' -T fields -e frame.number 2>/dev/null | wc -l"),
            std::to_string(frames) + "\n");
  EXPECT_EQ(Malformed(pcap), "");

  // The supervision event, placed on the capture's clock through the first
  // process-data frame.
  double event_ms = -1;
  for (const auto& e : doc["supervision"]) {
    if (e.value("event", "") == "acknowledge" && e.value("position", 0) == 2) {
      event_ms = e.value("t_ms", -1.0);
      EXPECT_EQ(e.value("al_status_code", ""), "0x001B");
      break;
    }
  }
  ASSERT_GE(event_ms, 0) << doc["supervision"].dump(2);
  const double first_pd_ms = doc["bus"].value("first_process_data_ms", -1.0);
  ASSERT_GE(first_pd_ms, 0);
  const std::string first_lrw =
      ShellOutput("tshark -r '" + pcap + "' -Y 'ecat.cmd == 0x0c' -T fields -e frame.time_epoch 2>/dev/null | head -1");
  ASSERT_FALSE(first_lrw.empty());
  const double event_epoch = std::stod(first_lrw) + (event_ms - first_pd_ms) / 1e3;

  // Replies (source address with its second bit set) of state reads of
  // single boards (FPRD of 0x0130, several in one frame), where board 2's
  // station address answered SAFE_OP+ERROR (0x14) with its status code.
  const std::vector<std::string> replies = SplitLines(
      ShellOutput("tshark -r '" + pcap + "' -Y 'eth.src.lg == 1 && ecat.cmd == 0x04 && ecat.reg.alstatus == 0x14' "
            "-T fields -E occurrence=a -e frame.time_epoch -e ecat.adp -e ecat.ado -e ecat.reg.alstatus "
            "-e ecat.reg.alstatuscode -e ecat.cnt 2>/dev/null"));
  auto items = [](const std::string& list) {
    std::vector<std::string> out;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
  };
  double best = 1e9;
  for (const std::string& line : replies) {
    std::istringstream in(line);
    std::string time, adp, ado, status, code, wkc;
    in >> time >> adp >> ado >> status >> code >> wkc;
    const auto adps = items(adp), statuses = items(status), codes = items(code), wkcs = items(wkc);
    for (size_t i = 0; i < adps.size() && i < statuses.size() && i < codes.size() && i < wkcs.size(); ++i) {
      if (adps[i] != "0x1002" || statuses[i] != "0x0014" || wkcs[i] != "1") continue;
      EXPECT_EQ(codes[i], "0x001b");
      const double dt = std::stod(time) - event_epoch;
      if (std::abs(dt) < std::abs(best)) best = dt;
    }
  }
  EXPECT_LT(std::abs(best), 0.5) << "no SAFE_OP+ERROR answer of board 2 near the event; " << replies.size()
                                 << " state reads of one board";
}

// The survey's --capture: the frames of discovery and of a short watch in
// OP, readable by tshark, none malformed.
TEST_F(FlightRecorder, SurveyCapturesItsFrames) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  bus_ = std::make_unique<simtest::SimBus>(Config());
  ASSERT_TRUE(bus_->ok()) << bus_->error();
  const std::string pcap = dir_ + "/survey.pcap";
  const ProgramResult r =
      RunProgram({DCU_BUSINFO_PATH, bus_->config_path(), "--watch", "2", "--capture", pcap}, kRunLimit);
  // Its verdict is the survey's (a loaded machine may miss a cycle); the
  // capture is written either way.
  EXPECT_NE(r.output.find("[INFO] Frames captured in " + pcap + ": "), std::string::npos) << r.output;
  // Discovery's register and EEPROM reads, both ways, and the exchange.
  EXPECT_GE(std::stoi(ShellOutput("tshark -r '" + pcap + "' -Y 'ecat.cmd == 0x07 && eth.src.lg == 1' 2>/dev/null | wc -l")), 4);
  EXPECT_GE(std::stoi(ShellOutput("tshark -r '" + pcap + "' -Y 'ecat.ado >= 0x0502 && ecat.ado <= 0x0508' 2>/dev/null | wc -l")), 6)
      << "the EEPROM reads of discovery";
  EXPECT_GT(std::stoi(ShellOutput("tshark -r '" + pcap + "' -Y 'ecat.cmd == 0x0c && eth.src.lg == 1' 2>/dev/null | wc -l")),
            100);
  EXPECT_EQ(Malformed(pcap), "");
}

// A fault of the field, its report turned into a scenario, played again.
struct FieldFault {
  const char* what;
  const char* after;              // the line after which the fault is made
  std::vector<std::string> make;  // control commands, then 2 s, then `mend`
  std::vector<std::string> mend;
};

// Each fault of the field, run once with the fault made by hand, then again
// from its report alone: the same verdict and the same [ERROR] lines.
TEST_F(FlightRecorder, FieldFaultsPlayAgainFromTheirReports) {
  const std::vector<FieldFault> faults = {
      {"a board lost and found", "[TEST] IMU", {"board 3 silent"}, {"board 3 answer"}},
      {"a board in SAFE_OP+ERROR", "[TEST] IMU", {"board 2 state SAFE_OP error code 0x001B"}, {}},
      {"RX errors at a port", "[TEST] IMU", {"board 2 port 0 rx_errors 12"}, {}},
      {"a cable pulled for 2 s", "[TEST] IMU", {"cable pull"}, {"cable restore"}},
      {"a board reset", "[TEST] IMU", {"board 3 reset"}, {}},
  };
  for (const FieldFault& f : faults) {
    SCOPED_TRACE(f.what);
    const std::string report = dir_ + "/field.json";
    const ProgramResult field = Run(Config(), "json:" + report, {{f.after, [&](pid_t) {
                                                                  for (const auto& c : f.make) bus_->Control(c);
                                                                  if (f.mend.empty()) return;
                                                                  std::this_thread::sleep_for(seconds(2));
                                                                  for (const auto& c : f.mend) bus_->Control(c);
                                                                }}});
    const nlohmann::json original = ReadJson(report);
    ASSERT_TRUE(original.is_object()) << field.output;
    EXPECT_EQ(original.value("verdict", ""), "fail") << field.output;

    const std::string base = dir_ + "/base.yaml";
    std::ofstream(base) << Config();
    const std::string replay_config = dir_ + "/replay.yaml";
    const std::string script = "python3 '" + std::string(REPORT_TO_SCENARIO) + "' '" + report + "' --config '" + base + "' -o '" +
                               replay_config + "' 2>&1";
    const std::string script_out = ShellOutput(script + "; echo status=$?");
    ASSERT_NE(script_out.find("status=0"), std::string::npos) << script_out;
    std::ifstream in(replay_config);
    std::stringstream text;
    text << in.rdbuf();

    const std::string report2 = dir_ + "/replay.json";
    const ProgramResult replay = Run(text.str(), "json:" + report2);
    const nlohmann::json again = ReadJson(report2);
    ASSERT_TRUE(again.is_object()) << replay.output;
    EXPECT_EQ(again.value("verdict", ""), original.value("verdict", "")) << text.str();
    EXPECT_EQ(Join(ErrorLines(replay)), Join(ErrorLines(field))) << "scenario:\n" << text.str();
  }
}

}  // namespace

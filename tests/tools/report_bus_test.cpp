// The reports of whole runs against the simulated DCU network, checked
// against what the same run printed: a passing robot and DCU network, an
// actuator that does not move, a missing board, a board forced to
// SAFE_OP + ERROR while the test runs, and Ctrl-C during the motion test.
// The JUnit file is read back as a CI server reads it (xmllint, Debian's
// python3-junitparser) and the JSON is rendered to the HTML page, which is
// opened in headless Chromium. Needs root (network namespaces).

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tests/support/build_paths.h"

namespace {

using namespace tooltest;
using nlohmann::json;
using std::chrono::seconds;

constexpr seconds kRunLimit(90);

std::string Config(const std::string& move_actuator, const std::string& network = kEveryModelDcu,
                   const std::string& simulator = "") {
  return RobotFile("eth0", move_actuator, "dcu_main", network, simulator);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}


std::string StripColour(const std::string& line) {
  return std::regex_replace(line, std::regex("\033\\[[0-9]+m"), "");
}

// The checks that ended (pass or fail) are exactly the "[TEST] ... PASS/FAIL"
// lines of the run, in order, each naming the check; each failed check's
// message, when it holds "[ERROR]" lines, was printed line by line as such.
void ExpectChecksMatchOutput(const json& report, const std::vector<std::string>& lines) {
  std::vector<std::string> printed;
  for (const auto& l : lines) {
    const std::string t = StripColour(l);
    if (t.rfind("[TEST] ", 0) != 0) continue;
    if (t.size() < 4) continue;
    const std::string end = t.substr(t.size() - 4);
    if (end == "PASS" || end == "FAIL") printed.push_back(t);
  }
  std::vector<json> ended;
  for (const auto& c : report["checks"]) {
    if (c["verdict"] != "skipped") ended.push_back(c);
  }
  ASSERT_EQ(ended.size(), printed.size()) << report["checks"].dump(1);
  for (size_t i = 0; i < printed.size(); ++i) {
    const std::string name = ended[i]["name"];
    EXPECT_NE(printed[i].find(name), std::string::npos) << printed[i] << " vs " << name;
    const bool pass = printed[i].substr(printed[i].size() - 4) == "PASS";
    EXPECT_EQ(ended[i]["verdict"], pass ? "pass" : "fail") << printed[i];
    if (!pass && ended[i].contains("message") &&
        ended[i]["message"].get<std::string>().rfind("[ERROR]", 0) == 0) {
      std::istringstream message(ended[i]["message"].get<std::string>());
      for (std::string line; std::getline(message, line);) {
        EXPECT_EQ(CountLinesContaining(lines, Red(line)), 1) << ended[i]["message"];
      }
    }
  }
}

// The JUnit file as CI servers read it: well-formed, and junitparser finds
// the same test cases and failures as the JSON report.
void ExpectJunitMatches(const std::string& xml_path, const json& report) {
  EXPECT_EQ(Shell("xmllint --noout '" + xml_path + "' 2>&1"), 0);
  std::string out;
  const std::string script =
      "import sys\n"
      "from junitparser import JUnitXml, Failure, Skipped, Error\n"
      "xml = JUnitXml.fromfile(sys.argv[1])\n"
      "for suite in xml:\n"
      "    props = {p.name: p.value for p in suite.properties()}\n"
      "    print('suite', suite.name, suite.tests, suite.failures, props.get('verdict'))\n"
      "    for case in suite:\n"
      "        kinds = [type(r).__name__ for r in case.result]\n"
      "        print('case', case.name, ','.join(kinds) or 'ok')\n";
  ASSERT_EQ(Shell("/usr/bin/python3 -c \"$(cat <<'EOF'\n" + script + "EOF\n)\" '" + xml_path + "'",
                  &out),
            0)
      << out;
  std::string expected;
  int failures = 0;
  int tests = 0;
  std::string cases;
  for (const auto& c : report["checks"]) {
    ++tests;
    const std::string v = c["verdict"];
    failures += v == "fail";
    cases += "case " + c["id"].get<std::string>() + " " +
             (v == "fail" ? "Failure" : v == "skipped" ? "Skipped" : "ok") + "\n";
  }
  if (report["verdict"] == "interrupted") {
    ++tests;
    cases += "case run Error\n";
  }
  expected = "suite " + report["tool"].get<std::string>() + " " + std::to_string(tests) + " " +
             std::to_string(failures) + " " + report["verdict"].get<std::string>() + "\n" + cases;
  EXPECT_EQ(out, expected);
}

class ReportsOnBus : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
    char tmpl[] = "/tmp/selftest_report_XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    bus_.reset();
    if (!dir_.empty()) Shell("rm -rf '" + dir_ + "'");
  }

  // Starts the simulator on config, applies the control commands, and runs
  // the program with SELFTEST_OUTPUT naming a JSON and a JUnit file (or
  // nothing when with_reports is false).
  ProgramResult Run(const ToolLines& tool, const std::string& config, bool with_reports = true,
                    const std::vector<std::string>& commands = {},
                    std::vector<Trigger> triggers = {}) {
    bus_.reset();
    bus_ = std::make_unique<simtest::SimBus>(config);
    if (!bus_->ok()) {
      ADD_FAILURE() << "simulator did not start: " << bus_->error();
      return {};
    }
    for (const auto& c : commands) EXPECT_EQ(bus_->Control(c).rfind("ok", 0), 0u) << c;
    unlink(json_path().c_str());
    unlink(xml_path().c_str());
    if (with_reports) {
      setenv("SELFTEST_OUTPUT", ("json:" + json_path() + ",junit:" + xml_path()).c_str(), 1);
    }
    ProgramResult r = RunProgram({tool.program, bus_->config_path()}, kRunLimit, std::move(triggers));
    unsetenv("SELFTEST_OUTPUT");
    EXPECT_FALSE(r.timed_out) << r.output;
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    return r;
  }

  json Report() {
    const std::string text = ReadFile(json_path());
    EXPECT_FALSE(text.empty()) << "no JSON report";
    return text.empty() ? json::object() : json::parse(text);
  }

  // The output with the run's interface name, configuration path and the
  // banner's build stamp taken out, and the bus threads' start lines in one
  // order, for comparing two runs.
  std::string Normalised(const ProgramResult& r) {
    std::string out = std::regex_replace(r.output, std::regex(bus_->ifname()), "IF");
    out = std::regex_replace(out, std::regex(bus_->config_path()), "CONFIG");
    // The bus manager's two threads announce themselves in either order.
    out = std::regex_replace(out,
                             std::regex("(.*ErrorHandler is running now.*\n)(.*Workloop is running now.*\n)"),
                             "$2$1");
    // What the link supervision says depends on the machine's timing (a
    // late frame on a loaded computer), not on the reports: leave it out.
    out = std::regex_replace(
        out, std::regex(".*(wkc < expected_wkc|\\] (WARN|ERROR|MESSAGE) : node |OK : all slaves resumed|"
                        ", state change: ).*\n"),
        "");
    return std::regex_replace(out, std::regex("Compiled in [^\n]*"), "Compiled");
  }

  std::string json_path() const { return dir_ + "/report.json"; }
  std::string xml_path() const { return dir_ + "/report.xml"; }

  std::string dir_;
  std::unique_ptr<simtest::SimBus> bus_;
};

// A healthy robot: every field of the report, the JUnit file as CI reads it,
// the page in a browser, and the same output as a run without reports.
TEST_F(ReportsOnBus, PassingRobot) {
  const ToolLines t = RobotTool();
  const ProgramResult r = Run(t, Config("true"));
  EXPECT_EQ(r.exit_status, 0);
  const auto lines = r.Lines();
  ExpectInOrder(lines, HealthyRobotRun(t, bus_->config_path(), kEveryModel));
  const json j = Report();

  EXPECT_EQ(j["tool"], "robot_selftest");
  EXPECT_EQ(j["version"], "0.1.3");
  EXPECT_EQ(j["verdict"], "pass");
  EXPECT_EQ(j["failures"], 0);
  EXPECT_EQ(j["config"]["path"], bus_->config_path());
  EXPECT_EQ(j["config"]["sha256"].get<std::string>().size(), 64u);
  EXPECT_TRUE(std::regex_match(j["started"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_GT(j["duration_s"].get<double>(), 2.0);  // the motion test waits 2 s

  std::vector<std::string> ids;
  for (const auto& c : j["checks"]) ids.push_back(c["id"]);
  std::vector<std::string> want{"ethercat", "imu"};
  for (const char* phase : {"enable:", "forward:", "reverse:"}) {
    for (const auto& n : kEveryModel) want.push_back(phase + n);
  }
  EXPECT_EQ(ids, want);
  ExpectChecksMatchOutput(j, lines);

  const json imu = j["checks"][1]["readings"];
  EXPECT_NEAR(imu["magnitude"].get<double>(), 9.81, 0.1);
  EXPECT_NEAR(imu["acc"][2].get<double>(), 9.81, 0.1);
  for (const auto& c : j["checks"]) {
    if (c["id"].get<std::string>().rfind("forward:", 0) != 0 &&
        c["id"].get<std::string>().rfind("reverse:", 0) != 0) {
      continue;
    }
    const json m = c["readings"];
    ASSERT_FALSE(m["polls"].empty()) << c;
    EXPECT_EQ(m["crossed_ms"], m["polls"].back()["t_ms"]) << c;
    const double last = m["polls"].back()["value"];
    if (m["comparison"] == ">") {
      EXPECT_GT(last, m["threshold"].get<double>()) << c;
    } else {
      EXPECT_LT(last, m["threshold"].get<double>()) << c;
    }
  }
  EXPECT_EQ(j["checks"][6]["readings"]["target"], 0.5);   // forward:hip_pitch, velocity
  EXPECT_EQ(j["checks"][8]["readings"]["threshold"], 8);  // forward:wrist_roll, position

  const json bus = j["bus"];
  EXPECT_EQ(bus["interface"], bus_->ifname());
  EXPECT_EQ(bus["cycle_time_ns"], 1000000);
  EXPECT_EQ(bus["dc"], true);
  EXPECT_EQ(bus["slaves_found"], 1);
  ASSERT_EQ(bus["slaves"].size(), 1u);
  EXPECT_EQ(bus["slaves"][0]["vendor"], "0x005A5256");
  EXPECT_EQ(bus["slaves"][0]["product"], "0x0000DC01");
  EXPECT_EQ(bus["slaves"][0]["revision"], "0x00010000");
  EXPECT_EQ(bus["slaves"][0]["state"]["text"], "OP");
  EXPECT_EQ(bus["slaves"][0]["output_bytes"], 240);
  EXPECT_EQ(bus["process_data_bytes"], 480);
  EXPECT_EQ(bus["expected_wkc"], 3);
  EXPECT_GT(bus["start_to_op_ms"].get<double>(), 0.0);
  const json cycle = j["cycle"];
  EXPECT_GT(cycle["frames"].get<uint64_t>(), 1000u);
  EXPECT_LT(cycle["short_wkc_frames"].get<uint64_t>(), cycle["frames"].get<uint64_t>() / 10);
  uint64_t counted = 0;
  for (const auto& n : cycle["period_histogram"]["counts"]) counted += n.get<uint64_t>();
  EXPECT_EQ(counted + 1, cycle["frames"].get<uint64_t>());
  // Generous bounds: the median period is the cycle, within a quarter.
  EXPECT_NEAR(cycle["period_us"]["p50"].get<double>(), 1000.0, 250.0);
  EXPECT_GE(cycle["period_us"]["max"].get<double>(), cycle["period_us"]["p99"].get<double>() - 8.0);
  EXPECT_GT(cycle["dc_phase_ns"]["samples"].get<uint64_t>(), 1000u);

  ExpectJunitMatches(xml_path(), j);

  // The page, rendered and looked at.
  const std::string page = dir_ + "/report.html";
  std::string out;
  ASSERT_EQ(Shell("/usr/bin/python3 '" + std::string(REPORT_SCRIPT) + "' '" + json_path() + "' -o '" + page + "' 2>&1",
                  &out),
            0)
      << out;
  const std::string html = ReadFile(page);
  EXPECT_NE(html.find("robot_selftest 0.1.3: PASS"), std::string::npos);
  EXPECT_NE(html.find("data:image/png;base64,"), std::string::npos);
  EXPECT_EQ(html.find("http://"), std::string::npos);  // self-contained
  EXPECT_EQ(html.find("https://"), std::string::npos);
  const std::string shot = dir_ + "/page.png";
  Shell("chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--user-data-dir=" + dir_ + "/chromium --screenshot='" + shot +
        "' --window-size=1200,2000 'file://" + page + "' >/dev/null 2>&1");
  ASSERT_EQ(Shell("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + shot +
                      "').convert('RGB'); print(len(set(im.getdata())))\"",
                  &out),
            0)
      << "no screenshot";
  EXPECT_GT(std::stoi(out), 20) << "the page looks blank";

  // The text of the run does not depend on the reports.
  const std::string reported = Normalised(r);
  const ProgramResult plain = Run(t, Config("true"), false);
  EXPECT_EQ(Normalised(plain), reported);
}

// The DCU tool: handshake readings, and the same text with or without reports.
TEST_F(ReportsOnBus, PassingDcuNetworkWithHandshakeReadings) {
  const ToolLines t = DcuTool();
  const ProgramResult r = Run(t, Config("false"));
  ExpectInOrder(r.Lines(), HealthyDcuRun(t, bus_->config_path(), kEveryModel));
  const json j = Report();
  EXPECT_EQ(j["verdict"], "pass");
  ExpectChecksMatchOutput(j, r.Lines());
  const std::vector<int> types = {3, 2, 7, 1};  // A90, A50, B30, CLAVIX
  ASSERT_EQ(j["checks"].size(), 6u);
  for (size_t i = 0; i < kEveryModel.size(); ++i) {
    const json c = j["checks"][i + 2];
    EXPECT_EQ(c["id"], "handshake:" + kEveryModel[i]);
    EXPECT_EQ(c["readings"]["type_code"], types[i]) << c;
    EXPECT_NE(c["readings"]["info"], 0) << c;
  }
  ExpectJunitMatches(xml_path(), j);

  const std::string reported = Normalised(r);
  EXPECT_EQ(Normalised(Run(t, Config("false"), false)), reported);
}

// An actuator that does not move: its two checks fail with the "[ERROR]"
// line printed, every reading polled and no crossing; the others pass.
TEST_F(ReportsOnBus, ActuatorThatDoesNotMove) {
  const ToolLines t = RobotTool();
  const ProgramResult r = Run(t, Config("true"), true, {"actuator knee_pitch fault no_move"});
  const json j = Report();
  EXPECT_EQ(j["verdict"], "fail");
  EXPECT_EQ(j["failures"], 2);
  ExpectChecksMatchOutput(j, r.Lines());
  for (const char* id : {"forward:knee_pitch", "reverse:knee_pitch"}) {
    json c;
    for (const auto& x : j["checks"]) {
      if (x["id"] == id) c = x;
    }
    ASSERT_FALSE(c.is_null()) << id;
    EXPECT_EQ(c["verdict"], "fail");
    EXPECT_EQ(c["message"].get<std::string>().rfind("[ERROR] knee_pitch 目标速度 ", 0), 0u) << c;
    EXPECT_EQ(c["readings"]["polls"].size(), 101u);  // 100 polls and the reading after them
    EXPECT_TRUE(c["readings"]["crossed_ms"].is_null());
    EXPECT_EQ(c["readings"]["quantity"], "velocity");
    // The reading in the message is the last one polled.
    char last[32];
    std::snprintf(last, sizeof(last), "%f", c["readings"]["polls"].back()["value"].get<double>());
    EXPECT_NE(c["message"].get<std::string>().find(std::string("当前 ") + last), std::string::npos)
        << c["message"] << " vs " << last;
  }
  ExpectJunitMatches(xml_path(), j);
}

// A configured board that is not on the bus: the bus does not start, and the
// report shows what was found.
TEST_F(ReportsOnBus, MissingBoard) {
  const ToolLines t = RobotTool();
  const std::string network = std::string(kEveryModelDcu) +
                              "    - {name: dcu_tail, ecat_id: 2, enable: true, imu_enable: false}\n";
  const ProgramResult r =
      Run(t, Config("false", network, "  boards:\n    - {position: 2, silent: true}\n"));
  EXPECT_EQ(r.exit_status, 0);
  ExpectInOrder(r.Lines(), {t.ethercat_fail, t.fail_verdict});
  const json j = Report();
  EXPECT_EQ(j["verdict"], "setup_failed");
  EXPECT_EQ(j["bus"]["slaves_found"], 1);
  EXPECT_EQ(j["bus"]["slaves"].size(), 1u);
  EXPECT_TRUE(j["bus"]["start_to_op_ms"].is_null());
  ASSERT_EQ(j["checks"].size(), 1u);
  // The message holds every error line of the start, the cause first.
  EXPECT_EQ(j["checks"][0]["message"],
            "[ERROR] Can`t find Registered slave node dcu_tail (2).\n"
            "[ERROR] Only 1 slave answers, and slave 1 has a link on port 1: the board behind it is connected but "
            "does not answer; check dcu_tail (2).\n"
            "[ERROR] ZorvikController start failed.\n"
            "[ERROR] DCU 初始化失败 !!!");
  ExpectChecksMatchOutput(j, r.Lines());
  ExpectJunitMatches(xml_path(), j);
}

// A board forced to SAFE_OP + ERROR during the test, with the cable pulled
// for 300 ms: every supervision line the run printed is an event of the
// report, in the same order.
TEST_F(ReportsOnBus, BoardForcedToSafeOpError) {
  const ToolLines t = RobotTool();
  const ProgramResult r =
      Run(t, Config("true"), true, {},
          {{"[TEST] gripper 使能", [this](pid_t) {
              // A board that drops to SAFE_OP + ERROR keeps the working
              // counter complete; the cable pulled for a moment with it makes
              // the supervision look at the states.
              bus_->Control("board 1 state SAFE_OP error code 0x001B");
              bus_->Control("cable pull");
              usleep(300000);
              bus_->Control("cable restore");
            }}});
  const json j = Report();
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"wkc < expected_wkc", "short_wkc"},
      {"is in SAFE_OP + ERROR, attempting ack.", "acknowledge"},
      {"is in SAFE_OP, change to OPERATIONAL.", "request_op"},
      {"re-check state.", "recheck"},
      {"reconfigured done.", "reconfigured"},
      {" reconfigured. current", "reconfigure"},
      {"recovered", "recovered"},
      {"found. current state", "found"},
      {"OK : all slaves resumed OPERATIONAL.", "all_operational"},
      {"Ecat link lost.", "link_lost"},
      {"Ecat link resmed.", "resumed"},
      {"ERROR : node", "lost"},
      {"WARN : node", "still_lost"}};
  std::vector<std::string> printed;
  for (const auto& l : r.Lines()) {
    for (const auto& k : kinds) {
      if (l.find(k.first) != std::string::npos) {
        printed.push_back(k.second);
        break;
      }
    }
  }
  std::vector<std::string> events;
  for (const auto& e : j["supervision"]) events.push_back(e["event"]);
  EXPECT_EQ(events, printed);
  ASSERT_GE(std::count(events.begin(), events.end(), "acknowledge"), 1);
  for (const auto& e : j["supervision"]) {
    if (e["event"] == "acknowledge") {
      EXPECT_EQ(e["board"], "dcu_main");
      EXPECT_EQ(e["position"], 1);
      EXPECT_EQ(e["state"]["text"], "SAFE_OP+ERROR");
      EXPECT_GT(e["t_ms"].get<double>(), j["bus"]["start_to_op_ms"].get<double>());
    }
  }
  ExpectChecksMatchOutput(j, r.Lines());
  ExpectJunitMatches(xml_path(), j);
}

// Ctrl-C during the reverse checks: status 130, the verdict "interrupted",
// the checks that printed their line in the report, the one in progress
// marked as interrupted, and the JUnit file carries the interruption.
TEST_F(ReportsOnBus, CtrlCDuringMotion) {
  const ToolLines t = RobotTool();
  const ProgramResult r =
      Run(t, Config("true"), true, {}, {{"[TEST] hip_pitch 反向", SendSignal(SIGINT)}});
  EXPECT_EQ(r.exit_status, 130);
  const json j = Report();
  EXPECT_EQ(j["verdict"], "interrupted");
  EXPECT_EQ(j["failures"], 0);
  ExpectChecksMatchOutput(j, r.Lines());
  int interrupted = 0;
  for (const auto& c : j["checks"]) interrupted += c.value("message", "") == "interrupted";
  EXPECT_LE(interrupted, 1);
  if (interrupted == 1) {
    EXPECT_EQ(j["checks"].back()["message"], "interrupted");
  }
  EXPECT_EQ(j["checks"][10]["id"], "reverse:hip_pitch");
  EXPECT_EQ(j["checks"][10]["verdict"], "pass");
  ExpectJunitMatches(xml_path(), j);
}

}  // namespace

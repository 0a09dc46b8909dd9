// The run reports without a bus: the SELFTEST_OUTPUT forms, the all-or-
// nothing file writing, the configuration hash, the JSON and JUnit forms of
// a record, and the programs' set-up failure paths with reports asked for.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tools/report/report_output.h"

namespace {

using namespace tooltest;
using nlohmann::json;
using selftest::report::Destination;
using selftest::report::Format;
using std::chrono::seconds;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Files in a folder (names only).
std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  FILE* p = popen(("ls -A '" + dir + "'").c_str(), "r");
  char buf[512];
  while (p != nullptr && fgets(buf, sizeof(buf), p) != nullptr) {
    std::string name(buf);
    if (!name.empty() && name.back() == '\n') name.pop_back();
    names.push_back(name);
  }
  if (p != nullptr) pclose(p);
  return names;
}

TEST(OutputSetting, AcceptedForms) {
  std::vector<Destination> out;
  std::string error;
  ASSERT_TRUE(selftest::report::ParseOutputSetting("json:/tmp/a.json", &out, &error));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].format, Format::kJson);
  EXPECT_EQ(out[0].path, "/tmp/a.json");

  ASSERT_TRUE(selftest::report::ParseOutputSetting("junit:r/x.xml,json:r/x:1.json", &out, &error));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].format, Format::kJunit);
  EXPECT_EQ(out[0].path, "r/x.xml");
  EXPECT_EQ(out[1].format, Format::kJson);
  EXPECT_EQ(out[1].path, "r/x:1.json");  // only the first colon separates

  ASSERT_TRUE(selftest::report::ParseOutputSetting("json:r.json,pcap:r.pcap", &out, &error));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].format, Format::kPcap);
  EXPECT_EQ(out[1].path, "r.pcap");
  EXPECT_FALSE(selftest::report::ParseOutputSetting("pcap:a,pcap:b", &out, &error));

  ASSERT_TRUE(selftest::report::ParseOutputSetting("", &out, &error));
  EXPECT_TRUE(out.empty());
}

TEST(OutputSetting, MalformedFormsNameTheProblemAndGiveNothing) {
  for (const char* setting : {"xml:/tmp/a", "json", "json:", "/tmp/a.json", "json:a,json:b",
                           "json:a,", "JSON:a", "junit:a,,json:b"}) {
    std::vector<Destination> out;
    std::string error;
    EXPECT_FALSE(selftest::report::ParseOutputSetting(setting, &out, &error)) << setting;
    EXPECT_TRUE(out.empty()) << setting;
    EXPECT_NE(error.find("SELFTEST_OUTPUT"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(WholeFileWriting, ReplacesAtOnceAndLeavesNothingBehindOnFailure) {
  ScratchDir dir;
  const std::string path = dir.path() + "/report.json";
  std::string error;
  ASSERT_TRUE(selftest::report::WriteWhole(path, "first\n", &error)) << error;
  ASSERT_TRUE(selftest::report::WriteWhole(path, "second, longer\n", &error)) << error;
  EXPECT_EQ(ReadFile(path), "second, longer\n");
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"report.json"});
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IRGRP, 0u) << "a report is readable by others, as any output file";

  // A folder that does not exist, and a path that is a folder.
  EXPECT_FALSE(selftest::report::WriteWhole(dir.path() + "/absent/r.json", "x", &error));
  EXPECT_FALSE(error.empty());
  mkdir((dir.path() + "/sub").c_str(), 0755);
  EXPECT_FALSE(selftest::report::WriteWhole(dir.path() + "/sub", "x", &error));
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"report.json", "sub"}));
  rmdir((dir.path() + "/sub").c_str());
  unlink(path.c_str());
}

TEST(ConfigHash, Sha256OfTheBytes) {
  EXPECT_EQ(selftest::report::Sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(selftest::report::Sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks, and a length that puts the padding across a block edge.
  EXPECT_EQ(selftest::report::Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(selftest::report::FileSha256("/nonexistent/file"), "");
}

selftest::report::RunRecord SampleRecord() {
  selftest::report::RunRecord r;
  r.tool = "robot_selftest";
  r.version = "0.1.3";
  r.config_path = "/etc/robot <a&b>.yaml";
  r.config_sha256 = std::string(64, 'a');
  r.started = "2024-01-02T03:04:05.678Z";
  r.duration_s = 4.5;
  r.verdict = "fail";
  r.has_bus = true;
  r.bus.ifname = "eth1";
  r.bus.cycle_time_ns = 1000000;
  r.bus.enable_dc = true;
  r.bus.slaves_found = 1;
  ethercat_manager::SlaveFigures s;
  s.position = 1;
  s.name = "DCU";
  s.vendor_id = 0x5A5256;
  s.product_code = 0xDC01;
  s.revision = 0x10000;
  s.state = 0x14;
  s.al_status_code = 0x1B;
  s.al_status_text = "Sync manager watchdog";
  r.bus.slaves.push_back(s);
  r.bus.period_histogram = {0, 3, 5, 0, 0};
  r.bus.period_bin_ns = 7812.5;
  r.bus.supervision.push_back({12.5, "acknowledge", "DCU", 1, 0x14, 0, 0, 0x001B});
  r.bus.supervision.push_back({13.0, "short_wkc", "", 0, 0, 1, 3, 0});
  selftest::report::Check ok;
  ok.id = "enable:j1";
  ok.name = "j1";
  ok.verdict = "pass";
  selftest::report::Check bad;
  bad.id = "forward:j1";
  bad.name = "j1 forward";
  bad.verdict = "fail";
  bad.message = "[ERROR] j1 目标速度 0.5, 当前 0.000000";
  bad.has_motion = true;
  bad.quantity = "velocity";
  bad.target = 0.5;
  bad.threshold = 0.1;
  bad.comparison = ">";
  bad.polls = {{1.1, 0.0}, {2.2, 0.01}};
  r.checks = {ok, bad};
  r.failures = 1;
  return r;
}

TEST(ReportForms, JsonCarriesEveryField) {
  const json j = json::parse(selftest::report::ToJson(SampleRecord()));
  EXPECT_EQ(j["tool"], "robot_selftest");
  EXPECT_EQ(j["config"]["path"], "/etc/robot <a&b>.yaml");
  EXPECT_EQ(j["verdict"], "fail");
  EXPECT_EQ(j["failures"], 1);
  EXPECT_EQ(j["bus"]["slaves"][0]["vendor"], "0x005A5256");
  EXPECT_EQ(j["bus"]["slaves"][0]["state"]["text"], "SAFE_OP+ERROR");
  EXPECT_EQ(j["bus"]["slaves"][0]["al_status"]["code"], "0x001B");
  EXPECT_TRUE(j["bus"]["start_to_op_ms"].is_null());
  EXPECT_EQ(j["cycle"]["period_histogram"]["counts"], json({0, 3, 5}));  // trailing zeros cut
  EXPECT_EQ(j["supervision"][0]["event"], "acknowledge");
  EXPECT_EQ(j["supervision"][1]["expected_wkc"], 3);
  EXPECT_EQ(j["supervision"][0]["al_status_code"], "0x001B");
  EXPECT_FALSE(j["supervision"][1].contains("al_status_code"));
  // Not asked for or not read: present and null.
  EXPECT_TRUE(j["capture"].is_null());
  EXPECT_TRUE(j["counters"].is_null());
  EXPECT_TRUE(j["bus"]["first_process_data_ms"].is_null());
  EXPECT_EQ(j["checks"][1]["message"], "[ERROR] j1 目标速度 0.5, 当前 0.000000");
  EXPECT_EQ(j["checks"][1]["readings"]["polls"].size(), 2u);
  EXPECT_TRUE(j["checks"][1]["readings"]["crossed_ms"].is_null());
  EXPECT_FALSE(j["checks"][0].contains("readings"));
}

TEST(ReportForms, JunitIsWellFormedAndCountsFailures) {
  ScratchDir dir;
  const std::string xml = selftest::report::ToJunit(SampleRecord());
  const std::string path = dir.Write("r.xml", xml);
  EXPECT_EQ(system(("xmllint --noout '" + path + "'").c_str()), 0) << xml;
  EXPECT_NE(xml.find("<testsuite name=\"robot_selftest\" tests=\"2\" failures=\"1\""), std::string::npos)
      << xml;
  EXPECT_NE(xml.find("/etc/robot &lt;a&amp;b&gt;.yaml"), std::string::npos);
  EXPECT_NE(xml.find("<failure message=\"[ERROR] j1 目标速度 0.5, 当前 0.000000\""), std::string::npos);
}

// --- the programs --------------------------------------------------------

class ReportsOfBothTools : public testing::TestWithParam<std::string> {
 protected:
  ToolLines tool_ = GetParam() == "dcu_selftest" ? DcuTool() : RobotTool();
  ScratchDir dir_;

  ProgramResult Run(const std::string& output_spec, const std::vector<std::string>& args) {
    if (output_spec.empty()) {
      unsetenv("SELFTEST_OUTPUT");
    } else {
      setenv("SELFTEST_OUTPUT", output_spec.c_str(), 1);
    }
    std::vector<std::string> argv{tool_.program};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(argv, seconds(30));
    unsetenv("SELFTEST_OUTPUT");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    return r;
  }
};

// A configuration error: the same lines as without reports, and a report
// that says the set-up failed with the line the user saw.
TEST_P(ReportsOfBothTools, ConfigurationErrorIsReportedAsSetupFailure) {
  const std::string cfg = dir_.Write("broken.yaml", "ZorvikController:\n  ethercat: [eth0,\n");
  const std::string json_path = dir_.path() + "/r.json";
  const std::string xml_path = dir_.path() + "/r.xml";
  const ProgramResult plain = Run("", {cfg});
  const ProgramResult reported = Run("json:" + json_path + ",junit:" + xml_path, {cfg});
  EXPECT_EQ(reported.output, plain.output);

  const json j = json::parse(ReadFile(json_path));
  EXPECT_EQ(j["tool"], GetParam());
  EXPECT_EQ(j["version"], "0.1.3");
  EXPECT_EQ(j["verdict"], "setup_failed");
  EXPECT_EQ(j["failures"], 1);
  EXPECT_EQ(j["config"]["path"], cfg);
  EXPECT_EQ(j["config"]["sha256"], selftest::report::FileSha256(cfg));
  EXPECT_TRUE(j["bus"].is_null());
  ASSERT_EQ(j["checks"].size(), 1u);
  EXPECT_EQ(j["checks"][0]["id"], "ethercat");
  EXPECT_EQ(j["checks"][0]["verdict"], "fail");
  // The message is the "[ERROR]" line the run printed, without its colour.
  const auto lines = plain.Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(Red(j["checks"][0]["message"].get<std::string>()), lines[4]);
  EXPECT_EQ(system(("xmllint --noout '" + xml_path + "'").c_str()), 0);
  unlink(json_path.c_str());
  unlink(xml_path.c_str());
}

// A bus that does not start (no such interface): the bus part says so.
TEST_P(ReportsOfBothTools, BusThatDoesNotStart) {
  const std::string cfg = dir_.Write(
      "nobus.yaml",
      "ZorvikController:\n  move_actuator: false\n  imu_dcu_name: none\n  ethercat:\n"
      "    ifname: zv_none0\n    enable_dc: true\n    bind_cpu: -1\n    rt_priority: -1\n"
      "    cycle_time_ns: 1000000\n  dcu_network:\n"
      "    - {name: dcu_a, ecat_id: 1, enable: true, imu_enable: false,\n"
      "       channel_1: [{name: j1, type: CLAVIX, can_id: 1}]}\n");
  const std::string json_path = dir_.path() + "/r.json";
  const ProgramResult r = Run("json:" + json_path, {cfg});
  const json j = json::parse(ReadFile(json_path));
  EXPECT_EQ(j["verdict"], "setup_failed");
  EXPECT_EQ(j["bus"]["interface"], "zv_none0");
  EXPECT_EQ(j["bus"]["slaves_found"], 0);
  EXPECT_TRUE(j["bus"]["start_to_op_ms"].is_null());
  const std::string message = j["checks"][0]["message"];
  EXPECT_EQ(message.rfind("[ERROR] No socket connection on zv_none0, Execute as root.\n[ERROR] ", 0), 0u)
      << message;
  EXPECT_NE(message.find("zv_none0"), message.rfind("zv_none0")) << "the cause names the interface: " << message;
  const std::string last = "\n[ERROR] DCU 初始化失败 !!!";
  ASSERT_GT(message.size(), last.size());
  EXPECT_EQ(message.substr(message.size() - last.size()), last) << message;
  ExpectInOrder(r.Lines(), {Red("[ERROR] DCU 初始化失败 !!!"), tool_.ethercat_fail});
  unlink(json_path.c_str());
}

// An unwritable report path costs one "[ERROR]" line and nothing else; a
// malformed SELFTEST_OUTPUT likewise, and then no report at all.
TEST_P(ReportsOfBothTools, UnwritablePathAndMalformedSettingAreOneErrorLineEach) {
  const std::string cfg = dir_.path() + "/absent.yaml";
  const ProgramResult plain = Run("", {cfg});
  const std::string good = dir_.path() + "/ok.xml";
  const ProgramResult unwritable =
      Run("json:" + dir_.path() + "/no/such/dir/r.json,junit:" + good, {cfg});
  auto plain_lines = plain.Lines();
  auto lines = unwritable.Lines();
  ASSERT_EQ(lines.size(), plain_lines.size() + 1);
  EXPECT_EQ(lines.back().rfind("\033[31m[ERROR] Cannot write the JSON report " + dir_.path() +
                                   "/no/such/dir/r.json: ",
                               0),
            0u)
      << lines.back();
  lines.pop_back();
  EXPECT_EQ(lines, plain_lines);
  EXPECT_TRUE(Exists(good));  // the other report is still written
  unlink(good.c_str());

  const ProgramResult malformed = Run("xml:" + good, {cfg});
  lines = malformed.Lines();
  ASSERT_EQ(lines.size(), plain_lines.size() + 1);
  EXPECT_EQ(lines[3], Red("[ERROR] SELFTEST_OUTPUT \"xml:" + good + "\": \"xml:" + good +
                          "\" is not json:PATH or junit:PATH; no report is written."));
  lines.erase(lines.begin() + 3);
  EXPECT_EQ(lines, plain_lines);
  EXPECT_FALSE(Exists(good));
}

// A capture asked for on an interface that cannot be captured on: one more
// "[ERROR]" line, no capture file, and the report says why; a run that
// never reaches the bus has no capture either.
TEST_P(ReportsOfBothTools, CaptureThatCannotBeMadeIsNamed) {
  const std::string cfg = dir_.Write(
      "nobus.yaml",
      "ZorvikController:\n  move_actuator: false\n  imu_dcu_name: none\n  ethercat:\n"
      "    ifname: zv_none0\n    enable_dc: true\n    bind_cpu: -1\n    rt_priority: -1\n"
      "    cycle_time_ns: 1000000\n  dcu_network:\n"
      "    - {name: dcu_a, ecat_id: 1, enable: true, imu_enable: false,\n"
      "       channel_1: [{name: j1, type: CLAVIX, can_id: 1}]}\n");
  const std::string json_path = dir_.path() + "/r.json";
  const std::string pcap_path = dir_.path() + "/r.pcap";
  const ProgramResult plain = Run("", {cfg});
  const ProgramResult r = Run("json:" + json_path + ",pcap:" + pcap_path, {cfg});
  std::vector<std::string> lines = r.Lines();
  const std::string capture_line = Red("[ERROR] Cannot capture the frames on zv_none0: ");
  size_t at = 0;
  while (at < lines.size() && lines[at].rfind(capture_line.substr(0, capture_line.size() - 4), 0) != 0) ++at;
  ASSERT_LT(at, lines.size()) << r.output;
  lines.erase(lines.begin() + static_cast<long>(at));
  EXPECT_EQ(lines, plain.Lines());
  EXPECT_FALSE(Exists(pcap_path));
  json j = json::parse(ReadFile(json_path));
  EXPECT_EQ(j["verdict"], "setup_failed");
  EXPECT_EQ(j["capture"]["path"], pcap_path);
  EXPECT_EQ(j["capture"]["written"], false);
  EXPECT_EQ(j["capture"]["error"].get<std::string>().rfind("cannot capture on zv_none0: ", 0), 0u) << j["capture"];
  unlink(json_path.c_str());

  const std::string broken = dir_.Write("broken.yaml", "ZorvikController:\n  ethercat: [eth0,\n");
  Run("json:" + json_path + ",pcap:" + pcap_path, {broken});
  j = json::parse(ReadFile(json_path));
  EXPECT_EQ(j["capture"]["written"], false);
  EXPECT_EQ(j["capture"]["error"], "the bus was not started");
  EXPECT_FALSE(Exists(pcap_path));
  unlink(json_path.c_str());
}

// Without a configuration argument there is still a report.
TEST_P(ReportsOfBothTools, UsageError) {
  const std::string json_path = dir_.path() + "/r.json";
  Run("json:" + json_path, {});
  const json j = json::parse(ReadFile(json_path));
  EXPECT_EQ(j["verdict"], "setup_failed");
  EXPECT_EQ(j["checks"][0]["message"], "[ERROR] Usage: ./main cfg_file");
  unlink(json_path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Programs, ReportsOfBothTools,
                         testing::Values("dcu_selftest", "robot_selftest"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace

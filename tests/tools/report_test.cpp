// The run reports without a bus: the SELFTEST_OUTPUT forms, the all-or-
// nothing file writing, the configuration hash, the JSON and JUnit forms of
// a record, and the programs' set-up failure paths with reports asked for.

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tools/report/report_output.h"
#include "tools/selftest_config.h"

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

// A folder of its own, removed with whatever is left in it.
class OwnFolder {
 public:
  OwnFolder() {
    char tmpl[] = "/tmp/report_path_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~OwnFolder() { (void)system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// The programs run as root: a report path must never replace a device node,
// a FIFO or a symlink. Device nodes are made in a folder of our own with
// mknod, never taken from the real /dev; without root those cases are left
// out.
TEST(ReportPaths, OnlyRegularFilesAreReplaced) {
  OwnFolder dir;
  std::string error;
  const bool root = mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  if (root) {
    ASSERT_EQ(mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    ASSERT_EQ(mknod((dir / "random").c_str(), S_IFCHR | 0666, makedev(1, 8)), 0);
    EXPECT_TRUE(selftest::report::WriteWhole(dir / "null", "{}\n", &error)) << error;
    EXPECT_FALSE(selftest::report::WriteWhole(dir / "full", "{}\n", &error));
    EXPECT_EQ(error, "No space left on device");
    // A device other than a terminal or the null, zero and full devices.
    EXPECT_FALSE(selftest::report::WriteWhole(dir / "random", "{}\n", &error));
    EXPECT_EQ(error, "a device that is not a terminal, /dev/null, /dev/zero or /dev/full; it is left untouched");
    for (const char* name : {"null", "full", "random"}) EXPECT_TRUE(S_ISCHR(ModeOf(dir / name))) << name;
  }

  // A FIFO with no reader is refused at once; with one it gets the text.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(selftest::report::WriteWhole(dir / "fifo", "x", &error));
  EXPECT_EQ(error, "a FIFO that no program reads");
  std::string received;
  std::thread reader([&] { received = ReadFile(dir / "fifo"); });
  bool written = false;
  for (int i = 0; i < 200 && !written; ++i) {  // until the reader has it open
    written = selftest::report::WriteWhole(dir / "fifo", "through the pipe\n", &error);
    if (!written) usleep(10000);
  }
  reader.join();
  EXPECT_TRUE(written) << error;
  EXPECT_EQ(received, "through the pipe\n");
  EXPECT_TRUE(S_ISFIFO(ModeOf(dir / "fifo")));

  // A symlink is followed: its target gets the text and keeps its
  // permissions; the link stays a link. A link to nothing is refused.
  { std::ofstream(dir / "target.json") << "old"; }
  chmod((dir / "target.json").c_str(), 0640);
  ASSERT_EQ(symlink("target.json", (dir / "link.json").c_str()), 0);
  EXPECT_TRUE(selftest::report::WriteWhole(dir / "link.json", "new\n", &error)) << error;
  EXPECT_TRUE(S_ISLNK(ModeOf(dir / "link.json")));
  EXPECT_EQ(ReadFile(dir / "target.json"), "new\n");
  EXPECT_EQ(ModeOf(dir / "target.json") & 07777, 0640u);
  ASSERT_EQ(symlink("nowhere.json", (dir / "dangling.json").c_str()), 0);
  EXPECT_FALSE(selftest::report::WriteWhole(dir / "dangling.json", "x", &error));
  EXPECT_EQ(error, "a symlink to a file that does not exist; it is not followed");
  EXPECT_FALSE(Exists(dir / "nowhere.json"));

  // A socket is refused; nothing is left behind by any of the refusals.
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string sock_path = dir / "sock";
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", sock_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_FALSE(selftest::report::WriteWhole(sock_path, "x", &error));
  EXPECT_EQ(error, "a socket, not a file");
  close(sock);
  std::vector<std::string> expected{"dangling.json", "fifo", "link.json", "sock", "target.json"};
  if (root) expected = {"dangling.json", "fifo", "full", "link.json", "null", "random", "sock", "target.json"};
  EXPECT_EQ(FolderEntries(dir.path()), expected);
}

// Two reports for one file would leave only one of them: refused, however
// the path is written.
TEST(ReportPaths, TwoReportsForOneFileAreRefused) {
  OwnFolder dir;
  std::vector<Destination> out;
  std::string error;
  const std::string a = dir / "r.out";
  for (const std::string& same : {a, dir.path() + "/./r.out", dir.path() + "/../" +
                                          dir.path().substr(dir.path().rfind('/') + 1) + "/r.out"}) {
    const std::string setting = "json:" + a + ",junit:" + same;
    EXPECT_FALSE(selftest::report::ParseOutputSetting(setting, &out, &error)) << same;
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(error, "SELFTEST_OUTPUT \"" + setting + "\": json and junit name the same file " + same +
                         "; no report is written.");
  }
  // Through a symlink to an existing file.
  { std::ofstream(a) << ""; }
  ASSERT_EQ(symlink(a.c_str(), (dir / "alias").c_str()), 0);
  EXPECT_FALSE(selftest::report::ParseOutputSetting("junit:" + dir / "alias" + ",json:" + a, &out, &error));
  EXPECT_TRUE(selftest::report::ParseOutputSetting("json:" + a + ",junit:" + dir / "r.xml", &out, &error))
      << error;
  EXPECT_EQ(out.size(), 2u);
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

// Run as root with report paths that are a null device, a full device and
// a symlink: the devices stay devices, the link stays a link and its target
// holds the report; the full device costs one error line; the run's own
// lines are unchanged.
TEST_P(ReportsOfBothTools, DeviceNodesAndSymlinksSurviveAsReportPaths) {
  OwnFolder dir;
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "making device nodes needs root";
  }
  const std::string cfg = dir_.path() + "/absent.yaml";
  const ProgramResult plain = Run("", {cfg});
  { std::ofstream(dir / "out.xml") << ""; }
  ASSERT_EQ(symlink("out.xml", (dir / "stdout").c_str()), 0);
  const ProgramResult r = Run("json:" + dir / "null" + ",junit:" + dir / "stdout", {cfg});
  EXPECT_EQ(r.output, plain.output);
  EXPECT_TRUE(S_ISCHR(ModeOf(dir / "null")));
  EXPECT_TRUE(S_ISLNK(ModeOf(dir / "stdout")));
  EXPECT_NE(ReadFile(dir / "out.xml").find("<testsuite"), std::string::npos);

  const ProgramResult full = Run("json:" + dir / "full", {cfg});
  auto lines = full.Lines();
  ASSERT_EQ(lines.size(), plain.Lines().size() + 1);
  EXPECT_EQ(lines.back(), Red("[ERROR] Cannot write the JSON report " + dir / "full" + ": No space left on device"));
  EXPECT_TRUE(S_ISCHR(ModeOf(dir / "full")));

  // One file named twice: refused, nothing written.
  const std::string same = dir / "same";
  lines = Run("json:" + same + ",junit:" + same, {cfg}).Lines();
  ASSERT_EQ(lines.size(), plain.Lines().size() + 1);
  EXPECT_EQ(lines[3], Red("[ERROR] SELFTEST_OUTPUT \"json:" + same + ",junit:" + same +
                          "\": json and junit name the same file " + same + "; no report is written."));
  EXPECT_FALSE(Exists(same));
}

// A directory or a FIFO as CONFIG: the usual failure path, at once, with
// its report (a directory used to abort the program, a FIFO to block it).
TEST_P(ReportsOfBothTools, DirectoryOrFifoAsConfigIsASetupFailure) {
  OwnFolder dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string json_path = dir / "r.json";
  for (const std::string& cfg : {dir.path(), dir / "fifo"}) {
    const ProgramResult r = Run("json:" + json_path, {cfg});
    const std::string kind = cfg == dir.path() ? "a directory" : "a FIFO";
    ExpectInOrder(r.Lines(), {Red("[ERROR] Config parse failed. bad file: " + cfg + ": " + kind +
                                  ", not a regular file"),
                              tool_.start, tool_.ethercat_fail, tool_.fail_verdict});
    const json j = json::parse(ReadFile(json_path));
    EXPECT_EQ(j["verdict"], "setup_failed");
    EXPECT_TRUE(j["config"]["sha256"].is_null());
  }
}

// A file as large as the reading takes, of many small nodes: its parse
// alone takes the better part of a second or more.
std::string LargestFile() {
  std::string text =
      "ZorvikController:\n  move_actuator: false\n  imu_dcu_name: none\n"
      "  ethercat: {ifname: lo, enable_dc: true, bind_cpu: -1, rt_priority: -1, cycle_time_ns: 1000000}\n"
      "  dcu_network:\n    - {name: d, ecat_id: 1, enable: true, imu_enable: false, channel_1: [";
  while (text.size() < selftest::kMaxConfigBytes - 16) text += "{a: 1},";
  return text + "]}\n";
}

// The bound the programs keep; a sanitizer's own work at exit (the leak
// check of a large heap) is not the programs'.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::chrono::seconds kInterruptBound(10);
#else
constexpr std::chrono::seconds kInterruptBound(1);
#endif

// The first Ctrl-C or SIGTERM while the file is read ends the run within a
// second, with status 130 and the interrupted report.
TEST_P(ReportsOfBothTools, InterruptWhileReadingTheFile) {
  const std::string cfg = dir_.Write("large.yaml", LargestFile());
  const std::string json_path = dir_.path() + "/r.json";
  for (int signal_number : {SIGINT, SIGTERM}) {
    std::chrono::steady_clock::time_point sent;
    setenv("SELFTEST_OUTPUT", ("json:" + json_path).c_str(), 1);
    const ProgramResult r = RunProgram({tool_.program, cfg}, seconds(30),
                                       {{"[DEBUG] Load config from", [&](pid_t pid) {
                                           sent = std::chrono::steady_clock::now();
                                           kill(pid, signal_number);
                                         }}});
    const auto took = std::chrono::steady_clock::now() - sent;
    unsetenv("SELFTEST_OUTPUT");
    EXPECT_EQ(r.exit_status, 130) << r.output;
    EXPECT_LT(took, kInterruptBound);
    EXPECT_EQ(r.Lines().back(),
              Yellow("[WARN] Test interrupted, commanding all actuators to zero and disabling them."));
    const json j = json::parse(ReadFile(json_path));
    EXPECT_EQ(j["verdict"], "interrupted");
    ASSERT_EQ(j["checks"].size(), 1u);
    EXPECT_EQ(j["checks"][0]["message"], "interrupted");
    unlink(json_path.c_str());
  }
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

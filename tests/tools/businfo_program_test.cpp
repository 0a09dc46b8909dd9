// dcu_businfo's paths that end before a bus is surveyed: the command line, an
// unreadable file, an interface that cannot be opened. Each must end with
// status 1 so that a script can trust 0, and --json must still give one
// document on standard output.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"

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

}  // namespace

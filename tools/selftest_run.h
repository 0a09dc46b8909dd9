// The run skeleton shared by dcu_selftest and robot_selftest: banner,
// configuration and bring-up, the EtherCAT result, the IMU and per-actuator
// checks, the verdict and the shutdown, and the interrupt path. Each program
// supplies its texts, its own configuration keys and its check list; every
// check also fills the run's record, which is written as JSON and/or JUnit
// XML when SELFTEST_OUTPUT asks for it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "controller/zorvik_controller.h"
#include "tools/bus_survey.h"
#include "tools/capture/frame_capture.h"
#include "tools/ethercat_config.h"
#include "tools/report/report_output.h"
#include "tools/report/run_record.h"

namespace selftest {

// The lines that differ between the programs.
struct ToolTexts {
  const char* tool;         // program name, for the report
  const char* banner_name;  // first word of the banner
  const char* start;
  const char* pass_verdict;
  const char* fail_verdict;
  const char* ethercat_pass;
  const char* ethercat_fail;
  const char* imu_pass;
  const char* imu_fail;
  const char* actuator_pass;  // %s = actuator name
  const char* actuator_fail;
};

// The version both programs print in their banner.
constexpr int kToolVersion[3] = {0, 1, 3};

class SelftestRun {
 public:
  // Reads the program's own keys from the document into the run (at least
  // ecat_cfg_ and dcu_network_cfg_); throws the YAML library's errors.
  using ConfigReader = std::function<void(const YAML::Node&, SelftestRun&)>;
  // The checks after a passing EtherCAT line; returns the failure count
  // that decides the verdict.
  using CheckList = std::function<int(SelftestRun&)>;

  // One run per process.
  SelftestRun(const ToolTexts& texts, ConfigReader read_config, CheckList checks);
  ~SelftestRun();
  SelftestRun(const SelftestRun&) = delete;
  SelftestRun& operator=(const SelftestRun&) = delete;

  // The program's main: returns its exit status (0), or exits with 130
  // after an interrupt.
  int Main(int argc, char** argv);

  // Leaves the robot at rest, writes the reports and exits with 130.
  [[noreturn]] void AbortRun();
  void AbortIfInterrupted();
  // Sleep of a check; an interrupt ends the run from here.
  void Wait(std::chrono::nanoseconds duration);

  // Shared checks. Each prints its lines and returns its failure count.
  // The gravity check of the named DCU's IMU; a reading counts only from
  // a board in OP.
  int CheckImu(const std::string& dcu_name);
  // Every attached actuator in turn with check (ShakeHand, EnableActuator,
  // ...), under the id "<id_prefix>:<name>"; check may add readings.
  int CheckEachActuator(const std::string& id_prefix,
                        const std::function<bool(const std::string&, report::Check&)>& check);
  // After the program's checks: a board that left OP, a lost link or a
  // lossy line during the run is a failure of its own, named in "[ERROR]"
  // lines and a second EtherCAT FAIL line. Prints nothing on a sound bus.
  int CheckBusDuringTest();

  // Record of one check: opened before it runs (an interrupt leaves it
  // "skipped" with the message "interrupted"), closed with its verdict.
  report::Check& BeginCheck(const std::string& id, const std::string& name);
  void EndCheck(bool passed);
  // Adds a check that was not run.
  void SkipCheck(const std::string& id, const std::string& name, const std::string& why);
  // Time since the open check began, in ms.
  double CheckElapsedMs() const;

  // The program's state, as its checks use it.
  YAML::EthercatConfig ecat_cfg_;
  std::vector<YAML::DcuConfig> dcu_network_cfg_;
  std::shared_ptr<zorvik::ZorvikController> zorvik_ctrl_;
  std::vector<std::string> actr_name_list_;
  std::unordered_map<std::string, zorvik::ActuatorType> actr_type_map_;
  // Whether the controller's Start succeeded and its Stop has not been called.
  bool bus_started_ = false;

  const report::RunRecord& record() const { return record_; }

 private:
  bool InitDcu(std::string cfg_file);
  // The error counters of every enabled DCU board, by position, read by its
  // station address; boards whose counters cannot be read are left out.
  std::vector<std::pair<int, businfo::Counters>> ReadBoardCounters() const;
  // The "[WARN]" lines of errors the boards held before discovery.
  void WarnLeftoverErrors() const;
  void Finish(const std::string& verdict);
  // Starts the capture of the frames when SELFTEST_OUTPUT asks for one.
  void StartCapture();
  // Stops it and writes its file; fills the record's capture entry.
  void FinishCapture();
  void WriteReports();
  // Time since the bus manager's bring-up began, in ms.
  double SinceBringUpMs() const;
  static void OnInterrupted();
  static void ReleaseController();

  ToolTexts texts_;
  ConfigReader read_config_;
  CheckList checks_;
  std::vector<report::Destination> outputs_;
  report::RunRecord record_;
  bool start_attempted_ = false;
  bool reports_written_ = false;
  int open_check_ = -1;
  std::chrono::steady_clock::time_point run_begin_;
  std::chrono::steady_clock::time_point check_begin_;
  std::unique_ptr<capture::FrameCapture> capture_;
};

}  // namespace selftest

// Where the programs, scripts and files that the tests run are, in this
// build. The paths are compiled into one small generated file
// (build_paths.cc in the build tree) rather than into every test's compile
// flags, so that a test's object does not depend on the folder the tree was
// checked out to, and a new clone finds it in the compiler cache.
#pragma once

namespace test_paths {

extern const char* const kDcuSim;        // simulator/dcu_sim
extern const char* const kDcuSimctl;     // simulator/dcu_simctl
extern const char* const kDcuSelftest;   // tools/dcu_selftest
extern const char* const kRobotSelftest; // tools/robot_selftest
extern const char* const kDcuBusinfo;    // tools/dcu_businfo
extern const char* const kSimnetScript;  // scripts/simnet.sh
extern const char* const kExamplesDir;   // examples
extern const char* const kSimulatorReadme;
extern const char* const kReportScript;       // scripts/selftest_report.py
extern const char* const kReportToScenario;   // scripts/report_to_scenario.py

}  // namespace test_paths

// The names the tests use.
#define DCU_SIM_BINARY test_paths::kDcuSim
#define DCU_SIM_PATH test_paths::kDcuSim
#define DCU_SIMCTL_BINARY test_paths::kDcuSimctl
#define DCU_SELFTEST_PATH test_paths::kDcuSelftest
#define ROBOT_SELFTEST_PATH test_paths::kRobotSelftest
#define DCU_BUSINFO_PATH test_paths::kDcuBusinfo
#define SIMNET_SCRIPT test_paths::kSimnetScript
#define EXAMPLES_DIR test_paths::kExamplesDir
#define SIMULATOR_README test_paths::kSimulatorReadme
#define REPORT_SCRIPT test_paths::kReportScript
#define REPORT_TO_SCENARIO test_paths::kReportToScenario

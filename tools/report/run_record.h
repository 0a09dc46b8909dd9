// The result of one self-test run as data: what was checked, what each
// check read, and the bus figures behind it. Filled by the run skeleton,
// written out as JSON and JUnit XML.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ethercat_manager/bus_recorder.h"

namespace selftest {
namespace report {

// One polled reading of a motion check, time since the check began.
struct Poll {
  double t_ms = 0;
  double value = 0;
};

struct Check {
  std::string id;       // "ethercat", "imu", "handshake:NAME", ...
  std::string name;     // what the line calls it
  std::string verdict;  // "pass", "fail", "skipped"
  double duration_ms = 0;
  std::string message;  // the check's "[ERROR]" line, without colour

  bool has_imu = false;
  float acc[3] = {0, 0, 0};
  float gyro[3] = {0, 0, 0};
  double magnitude = 0;

  bool has_handshake = false;
  int type_code = 0;
  uint32_t info = 0;

  bool has_motion = false;
  std::string quantity;    // "position" or "velocity"
  double target = 0;
  double threshold = 0;
  std::string comparison;  // ">" or "<": reading must be beyond threshold
  std::vector<Poll> polls;
  bool crossed = false;
  double crossed_ms = 0;
};

// The frames of the run, when SELFTEST_OUTPUT asked for a capture.
struct CaptureRecord {
  std::string path;
  bool written = false;
  std::string error;          // why there is no file
  uint64_t frames = 0;        // frames in the file
  uint64_t left_out = 0;      // frames not kept (the thinned-out cyclic exchange)
  uint64_t kernel_dropped = 0;
};

// How much one DCU board's error counters rose between two readings.
struct CounterRise {
  int position = 0;
  std::string dcu;
  uint32_t rx_errors[4] = {0, 0, 0, 0};
  uint32_t invalid_frames[4] = {0, 0, 0, 0};
  uint32_t forwarded_rx_errors[4] = {0, 0, 0, 0};
  uint32_t lost_links[4] = {0, 0, 0, 0};
  uint32_t processing_unit_errors = 0;
  uint32_t pdi_errors = 0;
};

struct RunRecord {
  std::string tool;
  std::string version;
  std::string config_path;
  std::string config_sha256;  // empty when the file could not be read
  std::string started;        // UTC, ISO 8601
  double duration_s = 0;
  std::string verdict;        // "pass", "fail", "interrupted", "setup_failed"
  int failures = 0;
  bool has_bus = false;       // a bring-up was attempted
  ethercat_manager::BusFigures bus;
  std::vector<Check> checks;
  // The boards' error counters: read after the start and again after the
  // checks (times since the bring-up began, -1 when not read).
  double counters_from_ms = -1;
  double counters_to_ms = -1;
  std::vector<CounterRise> counter_rises;
  bool has_capture = false;
  CaptureRecord capture;
  // Actuators whose final disable could not be confirmed.
  std::vector<std::string> maybe_enabled;
};

}  // namespace report
}  // namespace selftest

#include "tools/selftest_run.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "base/clock.h"
#include "tools/bus_health.h"
#include "tools/selftest_config.h"
#include "tools/selftest_runtime.h"

namespace selftest {

namespace {

constexpr const char* kContactAddress = "selftest@zorvik.dev";
// Longest wait of the bus judgement for the supervision's word on a link
// where no board answers (it declares the link lost after ten passes of
// 100 ms).
constexpr std::chrono::milliseconds kLinkVerdictWait(1500);

// The one run of the process, for the exit and interrupt hooks.
SelftestRun* current_run = nullptr;

std::string UtcNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm utc;
  gmtime_r(&ts.tv_sec, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof(text) - n, ".%03ldZ", ts.tv_nsec / 1000000);
  return text;
}

double MsSince(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
}

}  // namespace

SelftestRun::SelftestRun(const ToolTexts& texts, ConfigReader read_config, CheckList checks)
    : texts_(texts), read_config_(std::move(read_config)), checks_(std::move(checks)) {
  current_run = this;
}

SelftestRun::~SelftestRun() {
  if (current_run == this) current_run = nullptr;
}

// Registered with atexit at the top of Main, i.e. after every static object
// of the program and of the controller library is constructed, so it runs
// before any of them is destroyed: the controller is gone before the
// library's registries and bus manager it uses in its destructor.
void SelftestRun::ReleaseController() {
  if (current_run != nullptr) current_run->zorvik_ctrl_.reset();
}

void SelftestRun::OnInterrupted() {
  if (current_run != nullptr) current_run->Finish("interrupted");
}

void SelftestRun::AbortRun() {
  AbortInterruptedRun(zorvik_ctrl_.get(), bus_started_, actr_name_list_);
}

void SelftestRun::AbortIfInterrupted() {
  if (Interrupted()) AbortRun();
}

void SelftestRun::Wait(std::chrono::nanoseconds duration) {
  if (!SleepFor(duration)) AbortRun();
}

report::Check& SelftestRun::BeginCheck(const std::string& id, const std::string& name) {
  report::Check check;
  check.id = id;
  check.name = name;
  check.verdict = "skipped";
  record_.checks.push_back(check);
  open_check_ = static_cast<int>(record_.checks.size()) - 1;
  check_begin_ = std::chrono::steady_clock::now();
  TakeLastErrorLine();
  TakeErrorLines();
  return record_.checks.back();
}

void SelftestRun::EndCheck(bool passed) {
  if (open_check_ < 0) return;
  report::Check& check = record_.checks[static_cast<size_t>(open_check_)];
  check.verdict = passed ? "pass" : "fail";
  check.duration_ms = MsSince(check_begin_);
  if (!passed && check.message.empty()) check.message = TakeLastErrorLine();
  open_check_ = -1;
}

void SelftestRun::SkipCheck(const std::string& id, const std::string& name, const std::string& why) {
  report::Check check;
  check.id = id;
  check.name = name;
  check.verdict = "skipped";
  check.message = why;
  record_.checks.push_back(check);
}

double SelftestRun::CheckElapsedMs() const { return MsSince(check_begin_); }

int SelftestRun::CheckImu(const std::string& dcu_name) {
  // Only a reading from a board in OP counts: a board that stopped
  // answering keeps its last inputs in the node.
  const zorvik::ImuData imu = zorvik_ctrl_->GetDcuImuData(dcu_name);
  const bool fresh = zorvik_ctrl_->DcuInOp(dcu_name);
  report::Check& check = BeginCheck("imu", "IMU");
  check.has_imu = true;
  for (int i = 0; i < 3; ++i) {
    check.acc[i] = imu.acc[i];
    check.gyro[i] = imu.gyro[i];
  }
  const float sum = imu.acc[0] * imu.acc[0] + imu.acc[1] * imu.acc[1] + imu.acc[2] * imu.acc[2];
  check.magnitude = std::sqrt(static_cast<double>(sum));
  int failures = 0;
  if (fresh && GravityPlausible(imu)) {
    PrintGreen("%s", texts_.imu_pass);
    EndCheck(true);
  } else {
    PrintRed("%s", texts_.imu_fail);
    PrintImuData(imu);
    failures = 1;
    char message[128];
    if (fresh) {
      std::snprintf(message, sizeof(message), "acceleration magnitude %g is not within 0.1 of 9.8",
                    check.magnitude);
      check.message = message;
    } else {
      // Name why there is no reading, so that a healthy robot with a
      // mistaken file is not taken for one with a broken IMU.
      bool enabled = false;
      bool filed = false;
      for (const auto& dcu : dcu_network_cfg_) {
        if (dcu.name != dcu_name) continue;
        filed = true;
        enabled = enabled || dcu.enable;
      }
      std::string line;
      if (!filed) {
        line = "[ERROR] imu_dcu_name " + dcu_name + " names no DCU of dcu_network; write none to skip the IMU test.";
      } else if (!enabled) {
        line = "[ERROR] DCU " + dcu_name + " is disabled (enable: false); its IMU has no readings.";
      } else {
        line = "[ERROR] DCU " + dcu_name + " is not in OP; its IMU reading does not count.";
      }
      PrintRed("%s", line.c_str());
      check.message = line;
    }
    EndCheck(false);
  }
  return failures;
}

int SelftestRun::CheckEachActuator(
    const std::string& id_prefix,
    const std::function<bool(const std::string&, report::Check&)>& check_one) {
  int failures = 0;
  for (const auto& name : actr_name_list_) {
    AbortIfInterrupted();
    report::Check& check = BeginCheck(id_prefix + ":" + name, name);
    if (check_one(name, check)) {
      PrintGreen(texts_.actuator_pass, name.c_str());
      EndCheck(true);
    } else {
      PrintRed(texts_.actuator_fail, name.c_str());
      ++failures;
      EndCheck(false);
    }
  }
  return failures;
}

int SelftestRun::CheckBusDuringTest() {
  zorvik::ZorvikController& controller = *zorvik_ctrl_;
  // The checks give up as soon as a board stops answering, sooner than the
  // supervision declares the link lost. When no board answers, give it the
  // time to (about a second), so that a dead link is judged as one.
  bool any_answers = false;
  for (const auto& dcu : dcu_network_cfg_) any_answers = any_answers || (dcu.enable && controller.DcuAnswers(dcu.name));
  const auto deadline = std::chrono::steady_clock::now() + kLinkVerdictWait;
  while (!any_answers && !controller.LinkLost() && std::chrono::steady_clock::now() < deadline) {
    Wait(std::chrono::milliseconds(50));
    for (const auto& dcu : dcu_network_cfg_) any_answers = any_answers || (dcu.enable && controller.DcuAnswers(dcu.name));
  }
  std::vector<std::string> lines =
      BusFaultLines(controller.GetBusFigures(), [&](const std::string& dcu) { return controller.DcuInOp(dcu); });
  // Line errors the boards counted since discovery cleared their counters
  // (the rest of the start-up included), as the bus survey reads them.
  const std::vector<businfo::BoardRecord> records = businfo::RecordsOf(dcu_network_cfg_);
  const ethercat_manager::BusFigures figures = controller.GetBusFigures();
  std::vector<BoardCounterRise> rises;
  for (const auto& now : ReadBoardCounters()) {
    for (const auto& before : figures.counters_at_discovery) {
      if (before.position != now.first) continue;
      rises.push_back(
          {now.first, businfo::NameAt(records, now.first), businfo::Increase(CountersOf(before), now.second)});
    }
  }
  record_.counters_to_ms = SinceBringUpMs();
  for (const BoardCounterRise& b : rises) {
    report::CounterRise r;
    r.position = b.position;
    r.dcu = b.name;
    for (int n = 0; n < businfo::kPorts && n < 4; ++n) {
      r.rx_errors[n] = b.rise.rx_errors[static_cast<size_t>(n)];
      r.invalid_frames[n] = b.rise.invalid_frames[static_cast<size_t>(n)];
      r.forwarded_rx_errors[n] = b.rise.forwarded_rx_errors[static_cast<size_t>(n)];
      r.lost_links[n] = b.rise.lost_links[static_cast<size_t>(n)];
    }
    r.processing_unit_errors = b.rise.processing_unit_errors;
    r.pdi_errors = b.rise.pdi_errors;
    record_.counter_rises.push_back(r);
  }
  for (std::string& line : CounterFaultLines(rises)) lines.push_back(std::move(line));
  if (lines.empty()) return 0;
  report::Check& check = BeginCheck("bus", "EtherCAT");
  std::string message;
  for (const std::string& line : lines) {
    PrintRed("%s", line.c_str());
    message += (message.empty() ? "" : "\n") + line;
  }
  check.message = message;
  PrintRed("%s", texts_.ethercat_fail);
  EndCheck(false);
  return 1;
}

bool SelftestRun::InitDcu(std::string cfg_file) {
  PrintGreen("[DEBUG] Load config from %s.", cfg_file.c_str());
  try {
    const std::string bytes = ReadConfigFile(cfg_file);
    record_.config_sha256 = report::Sha256Hex(bytes);
    const YAML::Node document = LoadConfig(bytes);
    read_config_(document, *this);
  } catch (const ConfigReadInterrupted&) {
    // The caller ends the run as interrupted.
    return false;
  } catch (const std::exception& e) {
    PrintRed("[ERROR] Config parse failed. %s", e.what());
    return false;
  }

  zorvik_ctrl_.reset(zorvik::ZorvikController::GetInstance());

  std::vector<AttachedActuator> attached;
  const bool registered = RegisterNetwork(*zorvik_ctrl_, dcu_network_cfg_, attached);
  for (const auto& actuator : attached) {
    actr_name_list_.push_back(actuator.name);
    actr_type_map_[actuator.name] = actuator.type;
  }
  if (!registered) return false;

  start_attempted_ = true;
  StartCapture();
  bus_started_ = StartNetwork(*zorvik_ctrl_, ecat_cfg_, dcu_network_cfg_);
  // A replay places the counted errors between the end of the start and
  // the read after the checks (the baseline itself is taken at discovery).
  if (bus_started_) record_.counters_from_ms = SinceBringUpMs();
  WarnLeftoverErrors();
  return bus_started_;
}

void SelftestRun::WarnLeftoverErrors() const {
  const std::vector<businfo::BoardRecord> records = businfo::RecordsOf(dcu_network_cfg_);
  std::vector<BoardCounterRise> held;
  for (const auto& reading : zorvik_ctrl_->GetBusFigures().counters_before_discovery) {
    bool enabled_dcu = false;
    for (const auto& dcu : dcu_network_cfg_) enabled_dcu = enabled_dcu || (dcu.enable && dcu.ecat_id == static_cast<uint32_t>(reading.position));
    if (!enabled_dcu) continue;
    held.push_back({reading.position, businfo::NameAt(records, reading.position), CountersOf(reading)});
  }
  for (const std::string& line : LeftoverCounterLines(held)) PrintYellow("%s", line.c_str());
}

std::vector<std::pair<int, businfo::Counters>> SelftestRun::ReadBoardCounters() const {
  std::vector<std::pair<int, businfo::Counters>> counters;
  for (const auto& dcu : dcu_network_cfg_) {
    if (!dcu.enable) continue;
    const int position = static_cast<int>(dcu.ecat_id);
    ethercat_manager::CounterReading reading;
    if (zorvik_ctrl_->ReadBoardCounters(position, &reading)) counters.emplace_back(position, CountersOf(reading));
  }
  return counters;
}

int SelftestRun::Main(int argc, char** argv) {
  // Whole lines reach a pipe or a log as soon as they are printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallInterruptWatch();
  CollectLibraryErrorLines();
  std::atexit(ReleaseController);
  SetInterruptedRunHook(OnInterrupted);
  run_begin_ = std::chrono::steady_clock::now();
  record_.tool = texts_.tool;
  record_.version = std::to_string(kToolVersion[0]) + "." + std::to_string(kToolVersion[1]) + "." +
                    std::to_string(kToolVersion[2]);
  record_.started = UtcNow();

  std::printf("%s test tools powered by %s.\nVer %d.%d.%d, Compiled in %s %s.\n\n", texts_.banner_name,
              kContactAddress, kToolVersion[0], kToolVersion[1], kToolVersion[2], __DATE__, __TIME__);
  const char* setting = std::getenv("SELFTEST_OUTPUT");
  std::string setting_error;
  if (setting != nullptr && !report::ParseOutputSetting(setting, &outputs_, &setting_error)) {
    PrintRed("[ERROR] %s", setting_error.c_str());
  }
  for (const auto& out : outputs_) {
    if (out.format != report::Format::kPcap) continue;
    record_.has_capture = true;
    record_.capture.path = out.path;
  }
  if (argc != 2) {
    PrintRed("[ERROR] Usage: ./main cfg_file");
    report::Check& check = BeginCheck("ethercat", "EtherCAT");
    check.message = "[ERROR] Usage: ./main cfg_file";
    EndCheck(false);
    Finish("setup_failed");
    return 0;
  }

  record_.config_path = argv[1];
  BeginCheck("ethercat", "EtherCAT");
  const bool init_ok = InitDcu(argv[1]);
  AbortIfInterrupted();
  std::printf("\n\n");
  PrintGreen("%s", texts_.start);
  if (!init_ok) {
    // Every error line of the set-up: the one that names the cause comes
    // before the tool's closing "DCU 初始化失败" line.
    record_.checks[static_cast<size_t>(open_check_)].message = TakeErrorLines();
    PrintRed("%s", texts_.ethercat_fail);
    PrintRed("%s", texts_.fail_verdict);
    EndCheck(false);
    Finish("setup_failed");
    return 0;
  }
  PrintGreen("%s", texts_.ethercat_pass);
  EndCheck(true);

  int failures = checks_(*this);
  AbortIfInterrupted();
  failures += CheckBusDuringTest();

  if (failures == 0) {
    PrintGreen("%s", texts_.pass_verdict);
  } else {
    PrintRed("%s", texts_.fail_verdict);
  }

  std::printf("\n\n");
  DisableEveryActuator(*zorvik_ctrl_, actr_name_list_);
  zorvik_ctrl_->Stop();
  bus_started_ = false;
  AbortIfInterrupted();
  Finish(failures == 0 ? "pass" : "fail");
  return 0;
}

double SelftestRun::SinceBringUpMs() const {
  if (zorvik_ctrl_ == nullptr) return -1;
  const ethercat_manager::BusFigures bus = zorvik_ctrl_->GetBusFigures();
  if (!bus.bring_up_started) return -1;
  return static_cast<double>(zorvik_clock::MonotonicNs() - bus.bring_up_monotonic_ns) / 1e6;
}

void SelftestRun::StartCapture() {
  for (const auto& out : outputs_) {
    if (out.format != report::Format::kPcap) continue;
    capture_ = std::make_unique<capture::FrameCapture>();
    std::string error;
    if (!capture_->Start(ecat_cfg_.ifname, &error)) {
      capture_.reset();
      record_.capture.error = "cannot capture on " + ecat_cfg_.ifname + ": " + error;
      PrintRed("[ERROR] Cannot capture the frames on %s: %s", ecat_cfg_.ifname.c_str(), error.c_str());
    }
  }
}

void SelftestRun::FinishCapture() {
  if (capture_ == nullptr) {
    if (record_.has_capture && record_.capture.error.empty()) record_.capture.error = "the bus was not started";
    return;
  }
  capture_->Stop();
  const capture::CaptureCounts counts = capture_->counts();
  std::string error;
  if (capture_->Write(record_.capture.path, &error)) {
    record_.capture.written = true;
    record_.capture.frames = counts.kept;
    record_.capture.left_out = counts.left_out;
    record_.capture.kernel_dropped = counts.kernel_dropped;
  } else {
    record_.capture.error = error;
    PrintRed("[ERROR] Cannot write the capture %s: %s", record_.capture.path.c_str(), error.c_str());
  }
  capture_.reset();
}

void SelftestRun::Finish(const std::string& verdict) {
  if (reports_written_) return;
  reports_written_ = true;
  if (outputs_.empty()) return;
  FinishCapture();
  if (open_check_ >= 0) {
    report::Check& check = record_.checks[static_cast<size_t>(open_check_)];
    check.duration_ms = MsSince(check_begin_);
    if (verdict == "interrupted") check.message = "interrupted";
    open_check_ = -1;
  }
  record_.verdict = verdict;
  record_.duration_s = MsSince(run_begin_) / 1e3;
  record_.failures = 0;
  for (const auto& check : record_.checks) record_.failures += check.verdict == "fail";
  record_.maybe_enabled = ActuatorsMaybeEnabled();
  if (zorvik_ctrl_ != nullptr) {
    record_.bus = zorvik_ctrl_->GetBusFigures();
    record_.has_bus = start_attempted_ || record_.bus.bring_up_started;
    if (!record_.bus.bring_up_started) {
      record_.bus.ifname = ecat_cfg_.ifname;
      record_.bus.cycle_time_ns = ecat_cfg_.cycle_time_ns;
      record_.bus.enable_dc = ecat_cfg_.enable_dc;
    }
  }
  WriteReports();
}

void SelftestRun::WriteReports() {
  for (const auto& out : outputs_) {
    if (out.format == report::Format::kPcap) continue;
    const bool json = out.format == report::Format::kJson;
    const std::string text = json ? report::ToJson(record_) : report::ToJunit(record_);
    std::string error;
    if (!report::WriteWhole(out.path, text, &error)) {
      PrintRed("[ERROR] Cannot write the %s report %s: %s", json ? "JSON" : "JUnit", out.path.c_str(),
               error.c_str());
    }
  }
}

}  // namespace selftest

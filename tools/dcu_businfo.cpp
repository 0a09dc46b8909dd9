// dcu_businfo: surveys the EtherCAT line of a robot and compares it with its
// configuration file: which board answers, which does not, where the line
// ends and which port or cable shows errors. It enables nothing and moves
// nothing: discovery takes the boards to PRE_OP at most, and they are left
// in INIT. With --watch the configured DCUs run in OP with every output byte
// zero while the error counters are watched.
//
// Usage: dcu_businfo CONFIG.yaml [--watch SECONDS] [--json] [--capture PATH]
// --capture keeps the frames of the survey in a pcap file (see
// tools/capture/frame_capture.h).
// Exit status: 0 when the bus matches the file, 1 when it does not or cannot
// be surveyed (bad arguments, unreadable file, no interface, no slave), 130
// after Ctrl-C or SIGTERM (the bus is returned to INIT first).

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include "base/clock.h"
#include "ethercat.h"
#include "tools/bus_survey.h"
#include "tools/capture/frame_capture.h"
#include "tools/program_info.h"
#include "tools/selftest_config.h"
#include "tools/selftest_runtime.h"

namespace {

using businfo::Printer;

constexpr const char* kContactAddress = "selftest@zorvik.dev";
constexpr int kToolVersion[3] = {0, 1, 3};
constexpr int kMaxWatchSeconds = 86400;
constexpr int kOpWaitMs = 5000;
constexpr int kDiscoveryAttempts = 3;
constexpr int kReadAttempts = 3;

struct Options {
  std::string config_path;
  int watch_seconds = 0;
  bool json = false;
  std::string capture_path;  // empty: no capture
};

bool ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options->json = true;
    } else if (arg == "--capture") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
      options->capture_path = argv[++i];
    } else if (arg == "--watch") {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      const long v = std::strtol(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || v < 1 || v > kMaxWatchSeconds) return false;
      options->watch_seconds = static_cast<int>(v);
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else if (options->config_path.empty()) {
      options->config_path = arg;
    } else {
      return false;
    }
  }
  return !options->config_path.empty();
}

std::string Hex4(unsigned v) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%04x", v);
  return buffer;
}

uint64_t NowNs() { return static_cast<uint64_t>(zorvik_clock::MonotonicNs()); }

void SleepUntil(uint64_t deadline_ns) { zorvik_clock::SleepUntilNs(static_cast<int64_t>(deadline_ns)); }

// Sends every board back to INIT and closes the interface.
void ReturnToInit() {
  ec_slave[0].state = EC_STATE_INIT;
  ec_writestate(0);
  ec_statecheck(0, EC_STATE_INIT, EC_TIMEOUTSTATE);
  ec_close();
}

// The capture of --capture: started before the interface is opened, and
// stopped and written when the program returns, on every path.
class CaptureSession {
 public:
  CaptureSession(const std::string& path, const Printer& out) : path_(path), out_(out) {}
  ~CaptureSession() {
    if (!capture_.running()) return;
    capture_.Stop();
    const capture::CaptureCounts c = capture_.counts();
    std::string error;
    if (capture_.Write(path_, &error)) {
      out_.Info("Frames captured in " + path_ + ": " + std::to_string(c.kept) + " frames, " +
                std::to_string(c.left_out) + " cyclic frames left out.");
    } else {
      out_.Error("Cannot write the capture " + path_ + ": " + error);
    }
  }
  void Start(const std::string& ifname) {
    if (path_.empty()) return;
    std::string error;
    if (!capture_.Start(ifname, &error)) out_.Error("Cannot capture the frames on " + ifname + ": " + error);
  }

 private:
  std::string path_;
  const Printer& out_;
  capture::FrameCapture capture_;
};

// One exchange of process data; the working counter (negative: no frame).
int Exchange() {
  ec_send_processdata();
  return ec_receive_processdata(EC_TIMEOUTRET);
}

// Runs the configured DCUs in OP with zero outputs for the given time and
// watches every slave's error counters and the working counter.
void Watch(const Options& options, const YAML::EthercatConfig& ethercat,
           const std::vector<businfo::BoardRecord>& records, const std::vector<businfo::SlaveInfo>& slaves,
           const Printer& out, businfo::WatchResult* watch) {
  // Only boards the file enables and that identify as DCUs go to OP; every
  // other slave stays in SAFE_OP, where it applies no outputs.
  std::vector<bool> to_op(slaves.size() + 1, false);
  size_t image = 0;
  for (const auto& s : slaves) {
    image += s.output_bytes + s.input_bytes;
    for (const auto& r : records) {
      if (r.enable && r.position == static_cast<uint32_t>(s.position) && s.vendor == businfo::kDcuVendorId &&
          s.product == businfo::kDcuProductCode) {
        to_op[s.position] = true;
      }
    }
  }
  // Every output byte stays zero: the image is never written.
  std::vector<uint8_t> io_map(image + 65536, 0);
  const int mapped = ec_config_map(io_map.data());
  if (ethercat.enable_dc) {
    ec_configdc();
    for (int k = 1; k <= ec_slavecount; ++k) {
      ec_dcsync0(static_cast<uint16>(k), TRUE, static_cast<uint32>(ethercat.cycle_time_ns), 0);
    }
  }
  for (int k = 1; k <= ec_slavecount; ++k) {
    if (to_op[k]) ec_statecheck(static_cast<uint16>(k), EC_STATE_SAFE_OP, EC_TIMEOUTSTATE);
  }

  watch->ran = true;
  for (const auto& s : slaves) {
    businfo::WatchedBoard b;
    b.position = s.position;
    b.station_address = s.station_address;
    b.dcu = businfo::NameAt(records, s.position);
    // Counted from here on: what the OP request and the run bring.
    businfo::ReadCounters(s.station_address, &b.last);
    watch->boards.push_back(b);
  }

  const uint64_t cycle_ns = std::max<uint64_t>(ethercat.cycle_time_ns, 100000);
  Exchange();
  for (int k = 1; k <= ec_slavecount; ++k) {
    if (!to_op[k]) continue;
    ec_slave[k].state = EC_STATE_OPERATIONAL;
    ec_writestate(static_cast<uint16>(k));
  }
  // Keep the cycle running while the boards go to OP.
  const uint64_t op_deadline = NowNs() + static_cast<uint64_t>(kOpWaitMs) * 1000000ull;
  uint64_t next = NowNs();
  for (;;) {
    Exchange();
    bool all = true;
    for (auto& b : watch->boards) {
      if (!to_op[b.position]) continue;
      uint16_t status = 0, code = 0;
      b.in_op = businfo::ReadAlStatus(b.station_address, &status, &code) && status == EC_STATE_OPERATIONAL;
      if (!b.in_op) {
        all = false;
        b.op_failure = businfo::StateText(status) + ", AL status code " + Hex4(code) + " (" +
                       ec_ALstatuscode2string(code) + ")";
      } else {
        b.op_failure.clear();
      }
    }
    if (all || NowNs() > op_deadline || selftest::Interrupted()) break;
    next += cycle_ns;
    SleepUntil(next);
  }

  // Expected working counter: outputs (2) and inputs (1) of every board in
  // OP, inputs of the others.
  int expected = 0;
  int in_op = 0;
  for (auto& b : watch->boards) {
    if (b.in_op) b.last_al_status = EC_STATE_OPERATIONAL;
    const ec_slavet& rec = ec_slave[b.position];
    if (b.in_op) {
      ++in_op;
      expected += (rec.Obytes > 0 ? 2 : 0) + (rec.Ibytes > 0 ? 1 : 0);
    } else {
      expected += rec.Ibytes > 0 ? 1 : 0;
    }
  }
  watch->expected_wkc = expected;
  out.Info("Watching the error counters for " + std::to_string(options.watch_seconds) + " s: " +
           std::to_string(in_op) + " boards in OP, outputs all zero, process data " + std::to_string(mapped) +
           " bytes, expected working counter " + std::to_string(expected) + ".");

  uint64_t second_misses = 0;
  next = NowNs();
  uint64_t report_at = next + 1000000000ull;
  while (watch->seconds < options.watch_seconds && !selftest::Interrupted()) {
    const int wkc = Exchange();
    ++watch->cycles;
    if (wkc < expected) {
      ++watch->wkc_misses;
      ++second_misses;
    }
    const uint64_t now = NowNs();
    if (now >= report_at) {
      ++watch->seconds;
      report_at += 1000000000ull;
      const std::string when =
          "Watch " + std::to_string(watch->seconds) + "/" + std::to_string(options.watch_seconds) + " s: ";
      bool changed = false;
      for (auto& b : watch->boards) {
        const std::string board =
            "board " + std::to_string(b.position) + " (" + (b.dcu.empty() ? "not in the file" : b.dcu) + ")";
        const bool reached_op = to_op[b.position] && b.op_failure.empty();
        // One lost frame is not a board that stopped answering: ask again
        // before saying so.
        businfo::Counters now_counters;
        bool answered = false;
        for (int attempt = 0; attempt < kReadAttempts && !answered; ++attempt) {
          answered = businfo::ReadCounters(b.station_address, &now_counters);
        }
        if (!answered) {
          out.Warn(when + board + " does not answer.");
          changed = true;
          if (reached_op && b.left_op.empty()) {
            // A board that was reset answers at its position with station
            // address 0; a silent one lets the next board answer there.
            uint16_t station = 0, status = 0;
            if (businfo::ReadAtPosition(b.position, &station, &status) && station == 0) {
              b.left_op = "it was reset (" + businfo::StateText(status) + ", station address 0)";
              out.Warn(when + board + " was reset: it answers at its position in " + businfo::StateText(status) +
                       " with station address 0.");
            } else {
              b.left_op = "it does not answer";
            }
            b.left_op_second = watch->seconds;
            b.in_op = false;
          }
          continue;
        }
        if (reached_op) {
          // Outputs still count in SAFE_OP: only the state shows a board
          // that dropped out of OP.
          uint16_t status = 0, code = 0;
          if (businfo::ReadAlStatus(b.station_address, &status, &code) && status != b.last_al_status) {
            b.last_al_status = status;
            if (status != EC_STATE_OPERATIONAL) {
              const std::string state = businfo::StateText(status) + ", AL status code " + Hex4(code) + " (" +
                                        ec_ALstatuscode2string(code) + ")";
              out.Warn(when + board + " left OP: " + state + ".");
              changed = true;
              if (b.left_op.empty()) {
                b.left_op = state;
                b.left_op_second = watch->seconds;
              }
              b.in_op = false;
            }
          }
        }
        const businfo::Counters rise = businfo::Increase(b.last, now_counters);
        b.last = now_counters;
        b.total.Add(rise);
        const std::string text = businfo::DescribeChange(rise);
        if (text.empty()) continue;
        changed = true;
        out.Warn(when + board + " " + text + ".");
      }
      if (second_misses > 0) {
        out.Warn(when + std::to_string(second_misses) + " working-counter misses (expected " +
                 std::to_string(expected) + ").");
      } else if (!changed) {
        out.Info(when + "no error counter changed, no working-counter miss.");
      }
      second_misses = 0;
    }
    next += cycle_ns;
    if (next < now) next = now;  // behind: do not try to catch up
    SleepUntil(next);
  }
}

// config_error: why the file was refused ("[ERROR]" lines without their
// tag, one per line); empty when it was read.
void PrintJson(std::FILE* json_out, const businfo::Report& report,
               const std::vector<businfo::BoardRecord>& records, const std::string& config_error = "") {
  if (json_out == nullptr) return;
  nlohmann::json doc = businfo::ToJson(report, records);
  doc["config_error"] = config_error.empty() ? nlohmann::json(nullptr) : nlohmann::json(config_error);
  std::fprintf(json_out, "%s\n", doc.dump(2).c_str());
  std::fflush(json_out);
}

// "[ERROR] text" lines to "text" lines.
std::string WithoutTags(const std::string& lines) {
  std::string out;
  size_t start = 0;
  while (start < lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(start, end - start);
    if (line.rfind("[ERROR] ", 0) == 0) line.erase(0, 8);
    out += (out.empty() ? "" : "\n") + line;
    start = end + 1;
  }
  return out;
}

// In JSON mode standard output carries the document only: returns a stream
// on the original descriptor, and everything printed otherwise (ours, the
// configuration decoders', the master's) goes to standard error from here on.
std::FILE* MoveOutputToStandardError() {
  std::fflush(stdout);
  const int fd = dup(STDOUT_FILENO);
  std::FILE* json_out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  dup2(STDERR_FILENO, STDOUT_FILENO);
  return json_out;
}

// Reads the error counters as the boards hold them now, before discovery
// clears them (they tell what went wrong in the run before this one), then
// discovers the bus and surveys every slave into report->slaves. False when
// interrupted during discovery.
bool SurveyBus(const std::string& ifname, const Printer& out, businfo::Report* report) {
  const int answering = std::min(businfo::CountSlaves(), EC_MAXSLAVE - 1);
  std::vector<bool> found_ok(answering > 0 ? answering : 0, false);
  std::vector<businfo::Counters> found(found_ok.size());
  for (size_t i = 0; i < found_ok.size(); ++i) {
    found_ok[i] = businfo::ReadCountersAtPosition(static_cast<int>(i + 1), &found[i]);
  }

  for (int attempt = 0; attempt < kDiscoveryAttempts && !selftest::Interrupted(); ++attempt) {
    if (ec_config_init(FALSE) > 0) break;
    usleep(100000);
  }
  if (selftest::Interrupted()) return false;
  if (ec_slavecount < 1) {
    out.Error("No slaves found on " + ifname + ".");
    return true;
  }
  out.Info(std::to_string(ec_slavecount) + " slaves found on " + ifname + ".");
  // Discovery asked for PRE_OP; give the boards the usual time to get there.
  ec_statecheck(0, EC_STATE_PRE_OP, EC_TIMEOUTSTATE);
  bool any_dc = false;
  for (int k = 1; k <= ec_slavecount; ++k) any_dc = any_dc || ec_slave[k].hasdc;
  if (any_dc) ec_configdc();  // measures the propagation delays
  report->slaves = businfo::SurveySlaves(found_ok, found);
  return true;
}

// Two lines per slave, then the differences from the file (into
// report->findings).
void PrintSurvey(const std::vector<businfo::BoardRecord>& records, const std::string& ifname,
                 const Printer& out, businfo::Report* report) {
  for (const auto& s : report->slaves) {
    const auto lines = businfo::DescribeSlave(s, businfo::NameAt(records, s.position));
    out.Info(lines[0]);
    businfo::Totals counted;
    counted.Add(s.counters);
    if (counted.Any() || !s.registers_read) {
      out.Warn(lines[1]);
    } else {
      out.Info(lines[1]);
    }
  }
  report->findings = businfo::CompareWithFile(records, report->slaves, ifname);
  for (const auto& f : report->findings) out.Error(f.message);
  for (const auto& f : report->findings) {
    const std::string candidates = businfo::DescribeCandidates(f, static_cast<int>(report->slaves.size()));
    if (!candidates.empty()) out.Warn(candidates);
  }
}

void PrintVerdict(const std::string& config_path, const businfo::Report& report, const Printer& out) {
  if (report.Matches()) {
    out.Info("The bus matches " + config_path + ": " + std::to_string(report.slaves.size()) +
             " slaves answer as configured.");
  } else {
    out.Error("The bus does not match " + config_path + ": " + std::to_string(report.findings.size()) +
              (report.findings.size() == 1 ? " finding." : " findings."));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (selftest::PrintProgramInfo(argc, argv, "dcu_businfo")) return 0;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  selftest::InstallInterruptWatch();

  Options options;
  const bool arguments_ok = ParseArguments(argc, argv, &options);

  std::FILE* json_out = arguments_ok && options.json ? MoveOutputToStandardError() : nullptr;
  const Printer out(false);

  std::printf("DCU bus info powered by %s.\nVer %d.%d.%d, Compiled in %s %s.\n\n", kContactAddress,
              kToolVersion[0], kToolVersion[1], kToolVersion[2], __DATE__, __TIME__);
  if (!arguments_ok) {
    out.Error("Usage: dcu_businfo CONFIG.yaml [--watch SECONDS] [--json]");
    return 1;
  }

  businfo::Report report;
  report.config_path = options.config_path;
  std::vector<businfo::BoardRecord> records;
  YAML::EthercatConfig ethercat;
  out.Debug("Load config from " + options.config_path + ".");
  auto finish_interrupted = [&]() {
    report.interrupted = true;
    out.Warn("Interrupted; the bus is back in INIT.");
    PrintJson(json_out, report, records);
    std::fflush(stdout);
    return selftest::kInterruptedExitStatus;
  };
  // The file is refused exactly where the self-tests refuse it: while it is
  // read, and when its boards and actuators are registered.
  std::string config_error;
  std::vector<YAML::DcuConfig> network;
  try {
    const selftest::DcuToolConfig config =
        selftest::ReadDcuToolConfig(selftest::LoadConfig(selftest::ReadConfigFile(options.config_path)));
    ethercat = config.ethercat;
    network = config.dcu_network;
  } catch (const selftest::ConfigReadInterrupted&) {
    return finish_interrupted();
  } catch (const std::exception& e) {
    config_error = std::string("Config parse failed. ") + e.what();
    out.Error(config_error);
  }
  if (config_error.empty()) {
    std::string register_errors;
    if (selftest::CheckNetworkRegisters(network, &register_errors)) {
      records = businfo::RecordsOf(network);
    } else {
      config_error = WithoutTags(register_errors);
    }
  }
  if (!config_error.empty()) {
    out.Error("The bus cannot be compared with " + options.config_path + ": the file cannot be read.");
    PrintJson(json_out, report, records, config_error);
    return 1;
  }
  report.ifname = ethercat.ifname;
  if (selftest::Interrupted()) return finish_interrupted();

  CaptureSession capture(options.capture_path, out);
  capture.Start(ethercat.ifname);
  if (ec_init(ethercat.ifname.c_str()) <= 0) {
    out.Error("No socket connection on " + ethercat.ifname + ", Execute as root.");
    out.Error("The bus cannot be compared with " + options.config_path + ": the interface cannot be opened.");
    PrintJson(json_out, report, records);
    return 1;
  }
  report.bus_opened = true;
  out.Info("EtherCAT init on " + ethercat.ifname + " succeeded.");

  if (!SurveyBus(ethercat.ifname, out, &report)) {
    ReturnToInit();
    return finish_interrupted();
  }
  PrintSurvey(records, ethercat.ifname, out, &report);

  if (options.watch_seconds > 0 && !report.slaves.empty() && !selftest::Interrupted()) {
    Watch(options, ethercat, records, report.slaves, out, &report.watch);
    for (auto& f : businfo::WatchFindings(report.watch, records)) {
      out.Error(f.message);
      report.findings.push_back(std::move(f));
    }
  }

  ReturnToInit();
  if (selftest::Interrupted()) return finish_interrupted();
  out.Info("Bus back in INIT.");
  PrintVerdict(options.config_path, report, out);
  PrintJson(json_out, report, records);
  return report.Matches() ? 0 : 1;
}

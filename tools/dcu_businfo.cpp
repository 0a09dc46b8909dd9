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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include "base/clock.h"
#include "controller/zorvik_controller.h"
#include "ethercat.h"
#include "ethercat_manager/bus_recorder.h"
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

// The boards the watch runs in OP: at each position an enabled record of
// the file names and a DCU answers, with the sizes a DCU node maps (a board
// announcing others has its own finding and stays out of OP). Indexed by
// position; every other slave stays in SAFE_OP, where it applies no outputs.
std::vector<bool> BoardsToRun(const std::vector<businfo::BoardRecord>& records,
                              const std::vector<businfo::SlaveInfo>& slaves) {
  std::vector<bool> to_op(slaves.size() + 1, false);
  for (const auto& s : slaves) {
    const bool dcu = s.vendor == businfo::kDcuVendorId && s.product == businfo::kDcuProductCode;
    const bool fits = !s.sizes_known || (s.output_bytes == businfo::kDcuProcessDataBytes &&
                                         s.input_bytes == businfo::kDcuProcessDataBytes);
    if (s.position < 1 || static_cast<size_t>(s.position) >= to_op.size() || !dcu || !fits) continue;
    for (const auto& r : records) {
      if (r.enable && r.position == static_cast<uint32_t>(s.position)) to_op[static_cast<size_t>(s.position)] = true;
    }
  }
  return to_op;
}

std::string StateWithCode(uint16_t status, uint16_t code) {
  return businfo::StateText(status) + ", AL status code " + Hex4(code) + " (" + ec_ALstatuscode2string(code) + ")";
}

// AL status code of a board whose outputs stopped arriving for its SM
// watchdog time.
constexpr uint16_t kSmWatchdogCode = 0x001B;
// Starts with every board again when a failed one cannot be told: a
// computer that stalls during the start drops boards out of OP (SM watchdog)
// without any of them at fault.
constexpr int kBlindRetries = 1;

const ethercat_manager::SlaveFigures* FiguresAt(const ethercat_manager::BusFigures& figures, int position) {
  for (const auto& s : figures.slaves) {
    if (s.position == position) return &s;
  }
  return nullptr;
}

// Which boards a failed start leaves out: those that refused a state (error
// bit, other than the SM watchdog's, which only says that the outputs stopped
// while the start waited) or fell silent; else those that stayed behind while
// others reached OP. Marks them in watch with their state and drops them from
// to_op; false when it cannot tell which board failed.
bool DropBoardsThatFailed(const ethercat_manager::BusFigures& figures, std::vector<bool>* to_op,
                          businfo::WatchResult* watch) {
  std::vector<businfo::WatchedBoard*> refused, behind;
  size_t running = 0;
  for (auto& b : watch->boards) {
    if (!(*to_op)[static_cast<size_t>(b.position)]) continue;
    ++running;
    const auto* s = FiguresAt(figures, b.position);
    if (s == nullptr) continue;
    if (s->state == EC_STATE_NONE || ((s->state & EC_STATE_ERROR) != 0 && s->al_status_code != kSmWatchdogCode)) {
      refused.push_back(&b);
    }
    if (s->state != EC_STATE_OPERATIONAL) behind.push_back(&b);
  }
  const std::vector<businfo::WatchedBoard*>& failed = refused.empty() ? behind : refused;
  // Every board behind says nothing about any one of them.
  if (failed.empty() || (refused.empty() && behind.size() == running)) return false;
  for (auto* b : failed) {
    const auto* s = FiguresAt(figures, b->position);
    b->op_failure = StateWithCode(s->state, s->al_status_code);
    (*to_op)[static_cast<size_t>(b->position)] = false;
  }
  return true;
}

// Starts the bus manager with a node without actuators for each board to
// run (its outputs stay all zero) and returns the controller, which owns
// the bus from here on. A board that does not reach OP is noted in watch
// and the others are started again without it. Null when no board runs.
zorvik::ZorvikController* StartBoards(const YAML::EthercatConfig& ethercat,
                                      const std::vector<businfo::BoardRecord>& records, std::vector<bool>* to_op,
                                      businfo::WatchResult* watch) {
  int blind_retries = kBlindRetries;
  for (;;) {
    zorvik::ZorvikController* controller = zorvik::ZorvikController::GetInstance();
    bool any = false;
    for (size_t k = 1; k < to_op->size(); ++k) {
      if (!(*to_op)[k]) continue;
      any = controller->CreateDcu(businfo::NameAt(records, static_cast<int>(k)), static_cast<uint8_t>(k)) || any;
    }
    if (!any) return nullptr;
    controller->SetRealtime(ethercat.rt_priority, ethercat.bind_cpu);
    if (controller->Start(ethercat.ifname, ethercat.cycle_time_ns, ethercat.enable_dc)) return controller;
    const ethercat_manager::BusFigures figures = controller->GetBusFigures();
    // Takes every node back; a new start registers the boards that remain.
    delete controller;
    if (selftest::Interrupted()) return nullptr;
    if (DropBoardsThatFailed(figures, to_op, watch) || blind_retries-- > 0) continue;
    for (auto& b : watch->boards) {
      const size_t k = static_cast<size_t>(b.position);
      if (!(*to_op)[k]) continue;
      const auto* s = FiguresAt(figures, b.position);
      b.op_failure = s != nullptr ? StateWithCode(s->state, s->al_status_code) : "the bus did not start";
      (*to_op)[k] = false;
    }
    return nullptr;
  }
}

// What the bus manager's supervision saw of one board since the watch last
// looked. It repairs what it sees within a fraction of a second, before the
// watch's own look once a second, so the watch reports from its records too.
struct SeenBySupervision {
  // The state outside OP the board was found in first while it answered,
  // with its AL status code (the states after it are the repair's steps).
  bool left_op = false;
  uint16_t state = 0;
  uint16_t code = 0;
  bool lost = false;   // it stopped answering
  bool reset = false;  // and was found again without its station address
  uint16_t reset_state = EC_STATE_INIT;  // the state it was found in then
};

SeenBySupervision SupervisionSince(const std::vector<ethercat_manager::SupervisionEvent>& events, size_t from,
                                   int position) {
  SeenBySupervision seen;
  bool recovered = false;
  for (size_t i = from; i < events.size(); ++i) {
    const auto& e = events[i];
    if (e.position != position || e.board.empty()) continue;
    if (e.kind == "lost") {
      seen.lost = true;
    } else if (e.kind == "recovered" && seen.lost) {
      seen.reset = true;
      recovered = true;
    } else if (e.kind == "reconfigure" && recovered) {
      // The first state read after the station address was given back.
      seen.reset_state = e.state;
      recovered = false;
    } else if (!seen.lost && !seen.left_op &&
               (e.kind == "acknowledge" || e.kind == "request_op" || e.kind == "reconfigure")) {
      // What follows a loss is the recovery, not the board leaving OP.
      seen.left_op = true;
      seen.state = e.state;
      seen.code = e.al_status_code;
    }
  }
  return seen;
}

// The cycles of the bus manager's current start, and those whose working
// counter fell short; zero when no board runs.
struct CycleCount {
  uint64_t frames = 0;
  uint64_t short_frames = 0;
};

// The watch of one start: where its reads go and what it has seen so far.
struct WatchRun {
  zorvik::ZorvikController* controller = nullptr;  // null: no board runs
  businfo::RegisterRead read;
  std::vector<bool> to_op;
  size_t events_seen = 0;
  CycleCount counted;
};

// A state the board was found in: printed and kept when it is a new one
// outside OP. True when it printed.
bool NoteState(businfo::WatchedBoard& b, uint16_t status, uint16_t code, int second, const std::string& prefix,
               const Printer& out) {
  if (status == b.last_al_status) return false;
  b.last_al_status = status;
  // Outputs still count in SAFE_OP: only the state shows a board that
  // dropped out of OP.
  if (status == EC_STATE_OPERATIONAL) return false;
  const std::string state = StateWithCode(status, code);
  out.Warn(prefix + " left OP: " + state + ".");
  if (b.left_op.empty()) {
    b.left_op = state;
    b.left_op_second = second;
  }
  b.in_op = false;
  return true;
}

// A board that did not answer (now, or to the supervision since the last
// look): printed, and when it ran in OP, why it left.
void NoteSilence(businfo::WatchedBoard& b, bool reached_op, const SeenBySupervision& seen, bool answers_now,
                 const businfo::RegisterRead& read, int second, const std::string& prefix, const Printer& out) {
  out.Warn(prefix + " does not answer.");
  if (!reached_op || !b.left_op.empty()) return;
  // A board that was reset answers at its position with station address
  // 0; a silent one lets the next board answer there.
  uint16_t station = 0, status = seen.reset_state;
  const bool reset =
      seen.reset || (!answers_now && businfo::ReadAtPosition(read, b.position, &station, &status) && station == 0);
  if (reset) {
    b.left_op = "it was reset (" + businfo::StateText(status) + ", station address 0)";
    out.Warn(prefix + " was reset: it answers at its position in " + businfo::StateText(status) +
             " with station address 0.");
  } else {
    b.left_op = "it does not answer";
  }
  b.left_op_second = second;
  b.in_op = false;
}

// One board's look of one second; true when it printed something.
bool WatchBoard(businfo::WatchedBoard& b, const WatchRun& run, const SeenBySupervision& seen, bool answered,
                const businfo::Counters& now_counters, int second, const std::string& when, const Printer& out) {
  const std::string prefix =
      when + "board " + std::to_string(b.position) + " (" + (b.dcu.empty() ? "not in the file" : b.dcu) + ")";
  const bool reached_op = run.to_op[static_cast<size_t>(b.position)] && b.op_failure.empty();
  bool changed = false;
  if (reached_op && seen.left_op) changed = NoteState(b, seen.state, seen.code, second, prefix, out);
  if (!answered || seen.lost) {
    NoteSilence(b, reached_op, seen, answered, run.read, second, prefix, out);
    changed = true;
    if (!answered) return true;
  }
  uint16_t status = 0, code = 0;
  if (reached_op && businfo::ReadAlStatus(run.read, b.position, &status, &code)) {
    changed = NoteState(b, status, code, second, prefix, out) || changed;
  }
  const businfo::Counters rise = businfo::Increase(b.last, now_counters);
  b.last = now_counters;
  b.total.Add(rise);
  const std::string text = businfo::DescribeChange(rise);
  if (text.empty()) return changed;
  out.Warn(prefix + " " + text + ".");
  return true;
}

// One second of the watch: the cycles counted, each board's counters and
// state, and the line of the second.
void WatchSecond(WatchRun& run, const Options& options, const Printer& out, businfo::WatchResult* watch) {
  ++watch->seconds;
  const std::string when =
      "Watch " + std::to_string(watch->seconds) + "/" + std::to_string(options.watch_seconds) + " s: ";
  // One lost frame is not a board that stopped answering: ask again before
  // saying so.
  std::vector<businfo::Counters> now(watch->boards.size());
  std::vector<bool> answered(watch->boards.size(), false);
  for (size_t i = 0; i < watch->boards.size(); ++i) {
    for (int attempt = 0; attempt < kReadAttempts && !answered[i]; ++attempt) {
      answered[i] = businfo::ReadCounters(run.read, watch->boards[i].position, &now[i]);
    }
  }
  ethercat_manager::BusFigures figures;
  if (run.controller != nullptr) figures = run.controller->GetBusFigures();
  const uint64_t second_misses = figures.short_wkc_frames - run.counted.short_frames;
  watch->cycles += figures.frames - run.counted.frames;
  watch->wkc_misses += second_misses;
  run.counted = {figures.frames, figures.short_wkc_frames};

  bool changed = false;
  for (size_t i = 0; i < watch->boards.size(); ++i) {
    businfo::WatchedBoard& b = watch->boards[i];
    const SeenBySupervision seen = SupervisionSince(figures.supervision, run.events_seen, b.position);
    changed = WatchBoard(b, run, seen, answered[i], now[i], watch->seconds, when, out) || changed;
  }
  run.events_seen = std::max(run.events_seen, figures.supervision.size());
  if (second_misses > 0) {
    out.Warn(when + std::to_string(second_misses) + " working-counter misses (expected " +
             std::to_string(watch->expected_wkc) + ").");
  } else if (!changed) {
    out.Info(when + "no error counter changed, no working-counter miss.");
  }
}

// Runs the configured DCUs in OP with zero outputs for the given time and
// watches every slave's error counters and the working counter. The bus
// manager runs the boards: its cycle thread owns the bus, and every
// register read of the watch goes through it. The survey's own interface is
// closed first; true when that was done (the manager's stop has returned
// the boards to INIT). With no board to run, the watch reads the counters
// on the survey's interface, without a cycle.
bool Watch(const Options& options, const YAML::EthercatConfig& ethercat,
           const std::vector<businfo::BoardRecord>& records, const std::vector<businfo::SlaveInfo>& slaves,
           const Printer& out, businfo::WatchResult* watch) {
  WatchRun run;
  run.to_op = BoardsToRun(records, slaves);
  watch->ran = true;
  for (const auto& s : slaves) {
    businfo::WatchedBoard b;
    b.position = s.position;
    b.station_address = s.station_address;
    b.dcu = businfo::NameAt(records, s.position);
    watch->boards.push_back(b);
  }
  const bool handed_over = std::find(run.to_op.begin(), run.to_op.end(), true) != run.to_op.end();
  if (handed_over) {
    ReturnToInit();
    run.controller = StartBoards(ethercat, records, &run.to_op, watch);
    if (run.controller == nullptr) return true;
    run.read = [controller = run.controller](int position, uint16_t reg, uint8_t* data, int length,
                                             bool by_position) {
      return controller->ReadBoardRegisters(position, reg, data, length, by_position);
    };
  } else {
    run.read = businfo::MasterRegisterRead();
  }

  ethercat_manager::BusFigures figures;
  if (run.controller != nullptr) figures = run.controller->GetBusFigures();
  int in_op = 0;
  for (auto& b : watch->boards) {
    if (run.to_op[static_cast<size_t>(b.position)]) {
      b.in_op = true;
      b.last_al_status = EC_STATE_OPERATIONAL;
      ++in_op;
    }
    // Counted from the manager's discovery on: what the start, the OP
    // request and the run bring.
    bool baseline = false;
    for (const auto& r : figures.counters_at_discovery) {
      if (r.position != b.position) continue;
      b.last = businfo::DecodeCounters(r.errors.data(), r.sm_watchdog);
      baseline = true;
    }
    if (!baseline) businfo::ReadCounters(run.read, b.position, &b.last);
  }
  watch->expected_wkc = figures.expected_wkc;
  run.counted = {figures.frames, figures.short_wkc_frames};
  out.Info("Watching the error counters for " + std::to_string(options.watch_seconds) + " s: " +
           std::to_string(in_op) + " boards in OP, outputs all zero, process data " +
           std::to_string(figures.process_data_bytes) + " bytes, expected working counter " +
           std::to_string(watch->expected_wkc) + ".");

  uint64_t report_at = NowNs() + 1000000000ull;
  while (watch->seconds < options.watch_seconds && !selftest::Interrupted()) {
    const uint64_t now = NowNs();
    if (now < report_at && !selftest::SleepFor(std::chrono::nanoseconds(report_at - now))) break;
    report_at += 1000000000ull;
    WatchSecond(run, options, out, watch);
  }
  if (run.controller != nullptr) run.controller->Stop();
  return handed_over;
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

  // The watch hands the bus to the bus manager, whose stop returns it to INIT.
  bool handed_over = false;
  if (options.watch_seconds > 0 && !report.slaves.empty() && !selftest::Interrupted()) {
    handed_over = Watch(options, ethercat, records, report.slaves, out, &report.watch);
    for (auto& f : businfo::WatchFindings(report.watch, records)) {
      out.Error(f.message);
      report.findings.push_back(std::move(f));
    }
  }

  if (!handed_over) ReturnToInit();
  if (selftest::Interrupted()) return finish_interrupted();
  out.Info("Bus back in INIT.");
  PrintVerdict(options.config_path, report, out);
  PrintJson(json_out, report, records);
  return report.Matches() ? 0 : 1;
}

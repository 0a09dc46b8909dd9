#include "tools/selftest_runtime.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "tools/bus_survey.h"
#include "tools/selftest_config.h"

namespace selftest {

namespace {

// The last "[ERROR]" line of PrintRed, for the run's report.
std::mutex& LastErrorMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
std::string& LastErrorLine() {
  static std::string* line = new std::string;
  return *line;
}
// Every "[ERROR]" line since the last TakeErrorLines, the libraries' included;
// at most kMaxErrorLines are kept (a bus that keeps failing repeats itself).
constexpr size_t kMaxErrorLines = 64;
std::vector<std::string>& ErrorLines() {
  static std::vector<std::string>* lines = new std::vector<std::string>;
  return *lines;
}

void (*interrupted_run_hook)() = nullptr;

void RememberErrorLine(const char* format, va_list args) {
  if (std::strncmp(format, "[ERROR]", 7) != 0) return;
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, args);
  std::lock_guard<std::mutex> lock(LastErrorMutex());
  LastErrorLine() = text;
  if (ErrorLines().size() < kMaxErrorLines) ErrorLines().push_back(text);
}

void RememberLibraryErrorLine(const char* text) {
  std::lock_guard<std::mutex> lock(LastErrorMutex());
  if (ErrorLines().size() < kMaxErrorLines) ErrorLines().push_back(std::string("[ERROR] ") + text);
}

void VPrintWrapped(const char* before, const char* after, const char* format, va_list args) {
  if (std::strcmp(before, "\033[31m") == 0) {
    va_list copy;
    va_copy(copy, args);
    RememberErrorLine(format, copy);
    va_end(copy);
  }
  // One lock for the whole line, so that a line printed by a bus thread
  // cannot land between the colour sequence and the text.
  flockfile(stdout);
  std::fputs(before, stdout);
  std::vprintf(format, args);
  std::fputs(after, stdout);
  std::fputc('\n', stdout);
  funlockfile(stdout);
}

// Shared between the signal-waiting thread and the main thread. Allocated
// once and never freed: the waiting thread may still touch it while static
// objects are being destroyed at exit.
struct InterruptState {
  std::atomic<int> count{0};
  std::mutex mutex;
  std::condition_variable wakeup;
};

InterruptState& State() {
  static InterruptState* state = new InterruptState;
  return *state;
}

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void WaitForSignals() {
  const sigset_t set = InterruptSignals();
  InterruptState& state = State();
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    if (state.count.fetch_add(1) > 0) {
      // Second interrupt: the user does not want to wait for the shutdown.
      _exit(kInterruptedExitStatus);
    }
    // A bus start-up in progress gives up at its next wait, so that the run
    // can end promptly.
    zorvik::ZorvikController::RequestAbort();
    // Take the lock so that a sleeper between its check and its wait cannot
    // miss the notification.
    { std::lock_guard<std::mutex> lock(state.mutex); }
    state.wakeup.notify_all();
  }
}

}  // namespace

#define SELFTEST_PRINT(before, after)               \
  do {                                              \
    va_list args;                                   \
    va_start(args, format);                         \
    VPrintWrapped(before, after, format, args);     \
    va_end(args);                                   \
  } while (0)

void PrintLine(const char* format, ...) { SELFTEST_PRINT("", ""); }
void PrintRed(const char* format, ...) { SELFTEST_PRINT("\033[31m", "\033[0m"); }
void PrintGreen(const char* format, ...) { SELFTEST_PRINT("\033[32m", "\033[0m"); }
void PrintYellow(const char* format, ...) { SELFTEST_PRINT("\033[33m", "\033[0m"); }

#undef SELFTEST_PRINT

void InstallInterruptWatch() {
  State();
  const sigset_t set = InterruptSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(WaitForSignals).detach();
  // Reading the configuration stops at an interrupt, too.
  SetConfigReadInterruptCheck(Interrupted);
}

bool Interrupted() { return State().count.load() > 0; }

bool SleepFor(std::chrono::nanoseconds duration) {
  InterruptState& state = State();
  const auto deadline = std::chrono::steady_clock::now() + duration;
  std::unique_lock<std::mutex> lock(state.mutex);
  return !state.wakeup.wait_until(lock, deadline, [&state] { return state.count.load() > 0; });
}

bool RegisterNetwork(zorvik::ZorvikController& controller,
                     const std::vector<YAML::DcuConfig>& network,
                     std::vector<AttachedActuator>& attached) {
  for (const auto& dcu : network) {
    if (!dcu.enable) continue;
    if (dcu.ecat_id > kMaxBusId) {
      PrintRed("[ERROR] DCU %s ecat_id %u is out of range, the largest is %u.", dcu.name.c_str(),
               dcu.ecat_id, kMaxBusId);
      PrintRed("[ERROR] DCU %s register failed.", dcu.name.c_str());
      return false;
    }
    if (!controller.CreateDcu(dcu.name, static_cast<uint8_t>(dcu.ecat_id))) {
      PrintRed("[ERROR] DCU %s register failed.", dcu.name.c_str());
    }
    for (size_t channel = 0; channel < dcu.channels.size(); ++channel) {
      for (const auto& actuator : dcu.channels[channel]) {
        const zorvik::ActuatorType type = ActuatorTypeFromText(actuator.type);
        bool attached_ok = false;
        if (actuator.can_id > kMaxBusId) {
          PrintRed("[ERROR] Actuator %s can_id %u is out of range, the largest is %u.",
                   actuator.name.c_str(), actuator.can_id, kMaxBusId);
        } else {
          attached_ok = controller.AttachActuator(dcu.name, static_cast<zorvik::CtrlChannel>(channel),
                                                  type, actuator.name,
                                                  static_cast<uint8_t>(actuator.can_id));
        }
        if (!attached_ok) {
          PrintRed("[ERROR] Actuator %s register failed.", actuator.name.c_str());
          return false;
        }
        attached.push_back({actuator.name, type});
      }
    }
  }
  return true;
}

namespace {

// Standard output, sent to a memory file for a while and then restored.
class CapturedOutput {
 public:
  CapturedOutput() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    memory_ = memfd_create("captured-output", MFD_CLOEXEC);
    if (saved_ >= 0 && memory_ >= 0) dup2(memory_, STDOUT_FILENO);
  }
  ~CapturedOutput() { Restore(); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // Ends the capture and returns what was printed.
  std::string Restore() {
    std::string text;
    if (saved_ < 0) return text;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    if (memory_ < 0) return text;
    char block[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = pread(memory_, block, sizeof block, offset)) > 0) {
      text.append(block, static_cast<size_t>(n));
      offset += n;
    }
    close(memory_);
    memory_ = -1;
    return text;
  }

 private:
  int saved_ = -1;
  int memory_ = -1;
};

// The "[ERROR]" lines of printed text, without their colour.
std::string ErrorLinesOf(const std::string& text) {
  std::string lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("\033[31m", 0) == 0) line.erase(0, 5);
    const size_t reset = line.rfind("\033[0m");
    if (reset != std::string::npos && reset + 4 == line.size()) line.erase(reset);
    if (line.rfind("[ERROR]", 0) != 0) continue;
    lines += (lines.empty() ? "" : "\n") + line;
  }
  return lines;
}

}  // namespace

bool CheckNetworkRegisters(const std::vector<YAML::DcuConfig>& network, std::string* errors) {
  std::vector<AttachedActuator> attached;
  bool registered = false;
  std::string printed;
  {
    CapturedOutput capture;
    zorvik::ZorvikController* controller = zorvik::ZorvikController::GetInstance();
    registered = RegisterNetwork(*controller, network, attached);
    // Takes every board and actuator back; nothing was started.
    delete controller;
    printed = capture.Restore();
  }
  // A refusal that the self-tests print and go on from (a DCU without
  // actuators that the controller does not take) is printed here too.
  *errors = ErrorLinesOf(printed);
  if (registered && errors->empty()) return true;
  std::fputs(printed.c_str(), stdout);
  std::fflush(stdout);
  return registered;
}

namespace {

// A DCU board that answers at a position no record of the file names (a
// record forgotten or given a wrong ecat_id) is left out of the run and its
// actuators go untested: name it. A position of a disabled record is left
// out on purpose.
void WarnUnnamedDcuBoards(zorvik::ZorvikController& controller,
                          const std::vector<YAML::DcuConfig>& network) {
  for (const auto& slave : controller.GetBusFigures().slaves) {
    if (slave.vendor_id != businfo::kDcuVendorId || slave.product_code != businfo::kDcuProductCode) continue;
    bool named = false;
    for (const auto& dcu : network) named = named || dcu.ecat_id == static_cast<uint32_t>(slave.position);
    if (named) continue;
    PrintYellow("[WARN] Slave %d is a DCU that no dcu_network record names; its actuators are not tested.",
                slave.position);
  }
}

}  // namespace

bool StartNetwork(zorvik::ZorvikController& controller, const YAML::EthercatConfig& ethercat,
                  const std::vector<YAML::DcuConfig>& network) {
  controller.SetRealtime(ethercat.rt_priority, ethercat.bind_cpu);
  const bool started = controller.Start(ethercat.ifname, ethercat.cycle_time_ns, ethercat.enable_dc);
  if (started) {
    // Offsets go to every DCU with an IMU, whether it takes part or not.
    for (const auto& dcu : network) {
      if (dcu.imu_enable) controller.ApplyDcuImuOffset(dcu.name);
    }
    WarnUnnamedDcuBoards(controller, network);
  } else {
    PrintRed("[ERROR] DCU 初始化失败 !!!");
  }
  return started;
}

bool GravityPlausible(const zorvik::ImuData& imu) {
  const float sum = imu.acc[0] * imu.acc[0] + imu.acc[1] * imu.acc[1] + imu.acc[2] * imu.acc[2];
  const double deviation = std::fabs(std::sqrt(static_cast<double>(sum)) - 9.8);
  return deviation <= 0.1;  // false for NaN as well
}

void PrintImuData(const zorvik::ImuData& imu) {
  std::cout << "imu data: " << imu.acc[0] << ", " << imu.acc[1] << ", " << imu.acc[2] << ", "
            << imu.gyro[0] << ", " << imu.gyro[1] << ", " << imu.gyro[2] << std::endl;
}

namespace {
std::vector<std::string> maybe_enabled;
}  // namespace

void DisableEveryActuator(zorvik::ZorvikController& controller,
                          const std::vector<std::string>& actuator_names) {
  maybe_enabled.clear();
  if (controller.DisableAllActuator()) return;
  for (const auto& name : actuator_names) {
    // An actuator that no command of this run may have enabled is not
    // named, whether or not its disable could be confirmed.
    if (!controller.DisableActuator(name) && controller.ActuatorMayBeEnabled(name)) {
      PrintYellow("[WARN] Actuator %s may still be enabled.", name.c_str());
      maybe_enabled.push_back(name);
    }
  }
}

const std::vector<std::string>& ActuatorsMaybeEnabled() { return maybe_enabled; }

void AbortInterruptedRun(zorvik::ZorvikController* controller, bool bus_started,
                         const std::vector<std::string>& actuator_names) {
  PrintYellow("[WARN] Test interrupted, commanding all actuators to zero and disabling them.");
  if (controller != nullptr && bus_started) {
    for (const auto& name : actuator_names) controller->SetMitCmd(name, 0, 0, 0, 0, 0);
    DisableEveryActuator(*controller, actuator_names);
    controller->Stop();
  }
  if (interrupted_run_hook != nullptr) interrupted_run_hook();
  std::fflush(stdout);
  std::exit(kInterruptedExitStatus);
}

void SetInterruptedRunHook(void (*hook)()) { interrupted_run_hook = hook; }

void CollectLibraryErrorLines() { zorvik_utils::SetErrorObserver(RememberLibraryErrorLine); }

std::string TakeErrorLines() {
  std::lock_guard<std::mutex> lock(LastErrorMutex());
  std::string text;
  for (const std::string& line : ErrorLines()) text += (text.empty() ? "" : "\n") + line;
  ErrorLines().clear();
  return text;
}

std::string TakeLastErrorLine() {
  std::lock_guard<std::mutex> lock(LastErrorMutex());
  std::string line;
  line.swap(LastErrorLine());
  return line;
}

}  // namespace selftest

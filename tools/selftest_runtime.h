// Run-time helpers shared by the self-test programs: coloured output lines,
// interrupt handling and the steps that leave the robot at rest.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "controller/zorvik_controller.h"
#include "tools/ethercat_config.h"

namespace selftest {

// One line on standard output, newline added. The coloured variants wrap
// the text in the ANSI colour sequence and the reset sequence.
void PrintLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintRed(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintGreen(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintYellow(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Exit status of a run cut short by Ctrl-C or SIGTERM (128 + SIGINT).
constexpr int kInterruptedExitStatus = 130;

// Blocks SIGINT and SIGTERM in the calling thread and starts a thread that
// waits for them. Call it at the top of main, before any other thread is
// started, so that every thread created later (the bus threads included)
// inherits the blocked set and the signals reach only the waiting thread.
// The first signal is recorded (see Interrupted) and ends a bus start-up in
// progress (ZorvikController::RequestAbort); the second ends the process at
// once with status 130.
void InstallInterruptWatch();

// True once SIGINT or SIGTERM has arrived.
bool Interrupted();

// Sleeps for the given time measured on the monotonic clock. Returns early,
// with false, when an interrupt arrives.
bool SleepFor(std::chrono::nanoseconds duration);

// An actuator the controller accepted, in attachment order.
struct AttachedActuator {
  std::string name;
  zorvik::ActuatorType type;
};

// Creates every enabled DCU of the network and attaches the actuators of
// its channels 1, 2 and 3, in file order, appending each accepted one to
// attached. A DCU the controller refuses is reported and its actuators are
// still attached. Returns false at the first actuator that cannot be
// attached; what was registered up to there stays registered. EtherCAT and
// CAN ids above 255 are refused here rather than cut to their low 8 bits.
bool RegisterNetwork(zorvik::ZorvikController& controller,
                     const std::vector<YAML::DcuConfig>& network,
                     std::vector<AttachedActuator>& attached);

// Registers the network as RegisterNetwork does, with the process's
// controller, and takes it all back: a program that does not run the
// self-test's set-up (the bus survey) refuses a file exactly where the
// self-tests refuse it, with the same lines. Those lines are printed only
// when the file is refused (an accepted file prints nothing); then returns
// false with the "[ERROR]" lines, without colour, in *errors. Call it before
// any other thread prints.
bool CheckNetworkRegisters(const std::vector<YAML::DcuConfig>& network, std::string* errors);

// Applies the real-time settings, starts the bus and, once it runs, asks for
// the IMU user offset of every DCU whose imu_enable is set. Returns the
// result of the start.
bool StartNetwork(zorvik::ZorvikController& controller, const YAML::EthercatConfig& ethercat,
                  const std::vector<YAML::DcuConfig>& network);

// Gravity check of an IMU reading: the length of the acceleration vector
// is within 0.1 of 9.8. A reading that is not a number fails.
bool GravityPlausible(const zorvik::ImuData& imu);

// The uncoloured "imu data: " line: acceleration x, y, z and angular rate
// x, y, z.
void PrintImuData(const zorvik::ImuData& imu);

// Disables every actuator. DisableAllActuator gives up at the first DCU that
// reports a failure, so on failure each listed actuator is disabled on its
// own as well, leaving none enabled on the DCUs behind the failing one; each
// one whose disable is not confirmed, and that a command of this run may have
// enabled, gets a "[WARN] Actuator %s may still be enabled." line. A board
// that does not answer costs no wait: its disables fail at once.
void DisableEveryActuator(zorvik::ZorvikController& controller,
                          const std::vector<std::string>& actuator_names);

// The actuators the last DisableEveryActuator could not confirm as disabled
// (each got its "[WARN] ... may still be enabled." line), in list order.
const std::vector<std::string>& ActuatorsMaybeEnabled();

// The way out after an interrupt: prints the warning, and when the bus is
// running commands every listed actuator to zero, disables them all and
// stops the bus; then exits with status 130. Must be called from the
// thread that makes the controller calls. controller may be null.
[[noreturn]] void AbortInterruptedRun(zorvik::ZorvikController* controller, bool bus_started,
                                      const std::vector<std::string>& actuator_names);

// Called by AbortInterruptedRun once the robot is at rest, just before the
// process exits (the run's reports are written from it). Null for none.
void SetInterruptedRunHook(void (*hook)());

// The last "[ERROR]" line printed through PrintRed, without its colour, and
// forgets it; empty when there was none since the last call.
std::string TakeLastErrorLine();

// From now on the error lines of the libraries (bus manager, DCU nodes,
// facade) are collected too, for TakeErrorLines.
void CollectLibraryErrorLines();

// Every "[ERROR]" line printed since the last call (through PrintRed or by
// the libraries once collected), without colour, one per text line; and
// forgets them.
std::string TakeErrorLines();

}  // namespace selftest

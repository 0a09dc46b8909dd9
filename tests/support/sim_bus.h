// Bus-test fixture: a simulated DCU network (dcu_sim) behind a veth pair.
//
// SimBus creates a fresh network namespace holding one end of a new veth
// pair, starts dcu_sim there with the given configuration, waits until it
// answers on its control socket, and leaves the other end (the master side)
// up in the caller's namespace with IPv6 disabled. The destructor stops the
// simulator and deletes the namespace, which removes the veth pair.
//
// Needs root. Names are unique per process and instance.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/control_client.h"

namespace simtest {

struct ActuatorEntry {
  int dcu = 1;          // bus position of the DCU (1-based)
  int channel = 1;      // 1..3
  std::string name;
  std::string type = "KINETRA_A50";
  int can_id = 1;
};

struct ConfigOptions {
  int dcus = 1;
  std::string ifname = "eth0";
  bool enable_dc = true;
  uint64_t cycle_time_ns = 1000000;
  std::vector<ActuatorEntry> actuators;
  // Body of the DcuSimulator map as YAML (written indented under the key),
  // e.g. "frame_loss: 0.01\nboards:\n  - {position: 2, drift_ppm: 50}\n".
  std::string simulator;
  bool move_actuator = false;
  std::string imu_dcu_name = "dcu_1";
  int rt_priority = -1;
  int bind_cpu = -1;
};

// Configuration text for N DCUs named dcu_1..dcu_N at positions 1..N.
std::string MakeConfig(const ConfigOptions& options);
std::string MakeConfig(int dcus, const std::string& ifname, bool enable_dc = true,
                       uint64_t cycle_time_ns = 1000000, const std::vector<ActuatorEntry>& actuators = {},
                       const std::string& simulator = "");

class SimBus {
 public:
  explicit SimBus(const std::string& yaml_text, const std::string& extra_args = "");
  ~SimBus();
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // Master-side interface, up in the caller's namespace.
  const std::string& ifname() const { return master_if_; }
  // One control command; the reply text ("ok..." or "error: ...").
  std::string Control(const std::string& command);

  // The configuration as given, with ZorvikController.ethercat.ifname set to
  // ifname(), so that the self-test programs can be pointed at it.
  const std::string& config_path() const { return config_path_; }
  const std::string& control_path() const { return control_path_; }
  const std::string& netns() const { return netns_; }
  pid_t sim_pid() const { return pid_; }
  bool SimAlive();
  // What dcu_sim printed so far.
  std::string SimLog() const;

  // True when bus tests can run here (root, ip, the dcu_sim binary).
  static bool Available(std::string* why);
  // Removes namespaces, links and sockets left behind by processes that no
  // longer exist (a crashed test run). Called by every constructor. Returns
  // the number of namespaces removed.
  static int SweepLeftovers();

 private:
  bool Start(const std::string& yaml_text, const std::string& extra_args);
  void Stop();

  bool ok_ = false;
  std::string error_;
  std::string netns_;
  std::string master_if_;
  std::string sim_if_;
  std::string config_path_;
  std::string control_path_;
  std::string log_path_;
  pid_t pid_ = -1;
  bool netns_created_ = false;
  dcusim::ControlClient client_;
};

// Runs a program (argv[0] looked up in PATH), returns its exit status
// (-1 if it could not run) and its combined output.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace simtest

// A simulated chain of DCU boards on an EtherCAT line.
//
// SimNetwork answers whole Ethernet frames exactly as the wire would: each
// frame passes every board in bus order, each board's slave controller (ESC)
// processes the datagrams addressed to it, and the frame returns to the
// master. Behind each DCU's controller sits a device model with the board's
// actuators and IMU. The same object serves the dcu_sim program (frames from a
// network interface) and in-process unit tests (frames from a buffer).
//
// All methods are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/al_state.h"

namespace dcusim {

struct BoardStatus {
  int position = 0;             // 1-based bus position
  std::string kind;             // "DCU" or the SII name of another slave
  std::string dcu_name;         // name from the configuration ("" for fillers/extras)
  uint16_t al_status = 0;       // AL status register (state | error bit)
  uint16_t al_code = 0;         // AL status code register
  uint16_t station_address = 0; // configured station address
  bool silent = false;          // passes frames without processing them
  bool dc = false;              // has distributed clocks
  bool sync0_active = false;
  uint64_t sync0_start = 0;     // system time of the first SYNC0 pulse
  uint32_t sync0_cycle = 0;     // ns
  bool sync0_start_missed = false;  // activation with a start time in the past
};

struct ActuatorStatus {
  std::string name;
  std::string type;       // a model of ActuatorKinds() (actuator_models.h), e.g. "KINETRA_A90"
  int board = 0;          // bus position of its DCU
  int channel = 0;        // 1..3
  int id = 0;             // 1..8
  bool enabled = false;   // power state 1
  int power_state = 0;
  double position = 0;
  double velocity = 0;
  double effort = 0;
  std::string fault;      // a fault of Faults() (actuator_models.h), "none" without
  bool handshake = false; // currently answering in the shake-hand format
};

class SimNetwork {
 public:
  // Builds the network from the text of a configuration file: the boards and
  // actuators named under "ZorvikController" / "dcu_network", plus the
  // simulation-only settings under "DcuSimulator". Returns nullptr and sets
  // *error on bad settings.
  static std::unique_ptr<SimNetwork> FromYaml(const std::string& yaml_text, std::string* error);

  ~SimNetwork();
  SimNetwork(const SimNetwork&) = delete;
  SimNetwork& operator=(const SimNetwork&) = delete;

  // Runs one Ethernet frame (14-byte header included) through the chain in
  // place. Returns false when the frame is lost (no reply must be sent):
  // not EtherCAT, malformed, cable pulled, or dropped by injected loss.
  // now_ns is a monotonic time used for DC clocks, watchdogs and device
  // dynamics; it must not go backwards.
  bool ProcessFrame(uint8_t* frame, size_t len, uint64_t now_ns);

  // Executes one control command (see simulator/README.md; the commands are
  // the table in sim_commands.cc) and returns its reply: "ok..." or
  // "error: <reason>". Multi-line replies (stats, list, help) use '\n'
  // between lines and never contain an empty line.
  std::string Command(const std::string& line, uint64_t now_ns);

  // Typed fault injection (the same as the corresponding commands).
  void SetCable(bool pulled, int after_board = 0);   // after_board 0: whole chain
  bool SetBoardSilent(int position, bool silent);
  bool ForceState(int position, uint8_t state, bool error, uint16_t code);
  void SetLoss(double fraction);

  int BoardCount() const;
  bool GetBoard(int position, BoardStatus* out, uint64_t now_ns) const;
  bool GetActuator(const std::string& name, ActuatorStatus* out) const;
  std::vector<std::string> ActuatorNames() const;
  // System time of the board at host time now_ns (0 for boards without DC).
  uint64_t SystemTime(int position, uint64_t now_ns) const;

  // Statistics as "key=value" lines (see README) and their reset.
  std::string StatsText() const;
  void ResetStats();
  // Time between a frame's arrival and the send of its reply, measured by the
  // program that owns the socket.
  void RecordReplyLatency(uint64_t ns);
  // Time between two processing passes of that program (it wakes at least
  // every few milliseconds); the longest is reported as sim_stall_max.
  void RecordPassGap(uint64_t ns);

  // From the configuration: ZorvikController.ethercat.ifname / cycle_time_ns.
  std::string MasterIfname() const;
  uint64_t CycleHintNs() const;
  // Remarks about the configuration that did not stop the build.
  std::vector<std::string> Warnings() const;

  // CLOCK_MONOTONIC in ns.
  static uint64_t MonotonicNs();

  struct Impl;

 private:
  explicit SimNetwork(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dcusim

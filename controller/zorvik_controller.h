// Controller facade: the single entry point through which the self-test
// programs create DCUs, attach actuators, start and stop the bus and address
// actuators and IMUs by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "controller/actuator.h"
#include "controller/dcu.h"
#include "ethercat_manager/bus_recorder.h"

namespace zorvik {

class ZorvikController {
 public:
  static ZorvikController* GetInstance();
  virtual ~ZorvikController();

  ZorvikController(const ZorvikController&) = delete;
  ZorvikController& operator=(const ZorvikController&) = delete;

  bool SetRealtime(int rt_priority, int bind_cpu);
  bool CreateDcu(std::string dcu_name, uint8_t ecat_id);
  bool AttachActuator(std::string dcu_name, CtrlChannel channel, ActuatorType type,
                      std::string actuator_name, uint8_t id);
  bool Start(std::string ifname, uint64_t cycle_time_ns, bool enable_dc);
  void Stop();
  std::string GetVersion();

  ImuData GetDcuImuData(const std::string& dcu_name);
  void ApplyDcuImuOffset(const std::string& dcu_name);
  bool ShakeHand(const std::string& actuator_name);
  bool EnableActuator(const std::string& actuator_name);
  bool DisableActuator(const std::string& actuator_name);
  float GetTempure(const std::string& actuator_name);
  ActautorState GetPowerState(const std::string& actuator_name);
  ActautorMode GetMode(const std::string& actuator_name);
  float GetEffort(const std::string& actuator_name);
  float GetVelocity(const std::string& actuator_name);
  float GetPosition(const std::string& actuator_name);
  void SetMitParam(const std::string& actuator_name, MitParam param);
  void SetMitCmd(const std::string& actuator_name, float position, float velocity, float effort,
                 float kp, float kd);
  bool EnableAllActuator();
  bool DisableAllActuator();

  // --- Bus supervision as the programs see it -----------------------------
  // Whether the board carrying the actuator is in OP as last reported to
  // its node; false for an unknown name. A reading of an actuator whose
  // board is not in OP is the board's last one, never a fresh answer.
  bool ActuatorBoardInOp(const std::string& actuator_name);
  // The same for a DCU named directly (its IMU readings).
  bool DcuInOp(const std::string& dcu_name);
  // Whether the actuator's readings count: its board is in OP, answers the
  // frames, and what the node holds is the board's answer to a frame that
  // left after the actuator's last command (an MIT command included) was
  // written. False for an unknown name.
  bool ActuatorReadingFresh(const std::string& actuator_name);
  // Whether the board carrying the actuator answers the frames now (it
  // answered within the last fraction of a second); false for an unknown name.
  bool ActuatorBoardAnswers(const std::string& actuator_name);
  // Whether the DCU's board answers the frames now; false for an unknown name.
  bool DcuAnswers(const std::string& dcu_name);
  // Name and bus position of the DCU carrying the actuator; false for an
  // unknown name.
  bool ActuatorDcu(const std::string& actuator_name, std::string& dcu_name, int& ecat_id);
  // Whether a command of this process may have enabled the actuator: an
  // enable was written to it and no disable confirmed since.
  bool ActuatorMayBeEnabled(const std::string& actuator_name);
  // True while the bus supervision holds the link for lost.
  bool LinkLost();
  // Ends the bus start-up in progress (or the next one) at its next wait,
  // so that Start returns false, and every confirmation wait in progress at
  // its next poll. Safe from any thread, also before the instance exists
  // (e.g. from a signal-watching thread).
  static void RequestAbort();
  // Read-only figures for the self-test reports.
  // What the bus manager measured during the current or last start: the
  // slaves found, bring-up times, cycle timing and supervision events.
  ethercat_manager::BusFigures GetBusFigures();
  // The error counters of the board at a bus position, read by its station
  // address after a start. False when it does not answer.
  bool ReadBoardCounters(int position, ethercat_manager::CounterReading* out);
  // The actuator's last shake-hand reply as its DCU node decodes it (type
  // code 1 to 7 and the information word; TYPE_NONE and 0 when there is
  // no valid reply). False for an unknown name.
  bool GetShakeHandInfo(const std::string& actuator_name, ActuatorType& type, uint32_t& info);

  // --- Register reads of a program while the bus runs -----------------------
  // Reads `length` bytes (1 to 32) from register `reg` of the slave at a bus
  // position, by the station address the start gave it or, with
  // by_position, by its position address (a board that lost its station
  // address still answers there). Through the bus manager: while the bus
  // runs, its cycle thread serves the read between two cycles. False when
  // nothing answered. From the thread that starts and stops the bus.
  bool ReadBoardRegisters(int position, uint16_t reg, uint8_t* data, int length, bool by_position);

 private:
  ZorvikController() = default;

  static ZorvikController* instance_;
  std::atomic<bool> running_{false};
};

}  // namespace zorvik

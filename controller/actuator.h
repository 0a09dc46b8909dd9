// Actuator base class and the types shared by every actuator model.
#pragma once

#include <cstdint>
#include <string>

#include "base/comm_utils.h"
#include "controller/actuator_models.h"

namespace zorvik {

// The three control channels of a DCU.
enum CtrlChannel : uint8_t {
  CHANNEL_1 = 0,
  CHANNEL_2 = 1,
  CHANNEL_3 = 2,
};

// Power state, one byte on the wire. Devices may report values up to 7.
enum ActautorState : uint8_t {
  STATE_DISABLE = 0,
  STATE_ENABLE = 1,
};

// Control mode, written to the device unchanged.
enum ActautorMode : uint8_t {
  MODE_DEFAULT = 0,
};

// Value ranges of the five MIT command quantities.
struct MitParam {
  float position_min;
  float position_max;
  float velocity_min;
  float velocity_max;
  float effort_min;
  float effort_max;
  float kp_min;
  float kp_max;
  float kd_min;
  float kd_max;
};

// Shake-hand request code, written into command byte 0 by every model.
constexpr uint8_t kShakeHandCode = 0xCD;

class Actuator {
 public:
  Actuator(std::string name, uint8_t id, CtrlChannel channel, ActuatorType type)
      : id_(id), name_(std::move(name)), channel_(channel), type_(type) {}
  virtual ~Actuator() = default;

  Actuator(const Actuator&) = delete;
  Actuator& operator=(const Actuator&) = delete;

  // Binds the command and feedback slots: the channel areas plus 8 * (id - 1).
  virtual void SetDataFiled(uint8_t* send, uint8_t* recv) {
    const int offset = 8 * (static_cast<int>(id_) - 1);
    send_data_ = send + offset;
    recv_data_ = recv + offset;
  }
  virtual void ShakeHand() { send_data_[0] = kShakeHandCode; }
  // Reply: byte 0 = device type (1 to 7 is valid), bytes 1..3 = info word,
  // most significant byte first. Anything else reads as TYPE_NONE and 0.
  virtual void GetShakeHandInfo(ActuatorType& type, uint32_t& info) {
    const uint8_t t = recv_data_[0];
    if (t >= 1 && t <= 7) {
      type = static_cast<ActuatorType>(t);
      info = (static_cast<uint32_t>(recv_data_[1]) << 16) |
             (static_cast<uint32_t>(recv_data_[2]) << 8) | recv_data_[3];
    } else {
      type = TYPE_NONE;
      info = 0;
    }
  }
  virtual void RequestState(ActautorState state) { (void)state; }
  virtual void ClearError() {}
  virtual void SetHomingPosition() {}
  virtual void SaveConfig() {}
  virtual void SetMode(ActautorMode mode) { (void)mode; }
  virtual float GetTempure() { return 0.0f; }
  virtual std::string GetErrorString() { return "None"; }
  virtual ActautorMode GetMode() { return static_cast<ActautorMode>(0); }
  virtual ActautorState GetPowerState() { return STATE_DISABLE; }
  virtual void SetEffort(float effort) { (void)effort; }
  virtual float GetEffort() { return 0.0f; }
  virtual void SetVelocity(float velocity) { (void)velocity; }
  virtual float GetVelocity() { return 0.0f; }
  virtual void SetPosition(float position) { (void)position; }
  virtual float GetPosition() { return 0.0f; }
  virtual void SetMitParam(MitParam param) { (void)param; }
  virtual void SetMitCmd(float position, float velocity, float effort, float kp, float kd) {
    (void)position, (void)velocity, (void)effort, (void)kp, (void)kd;
  }

  uint8_t GetId() const { return id_; }
  const std::string& GetName() const { return name_; }
  CtrlChannel GetChannel() const { return channel_; }
  ActuatorType GetType() const { return type_; }

 protected:
  uint8_t id_;
  std::string name_;
  uint8_t* send_data_ = nullptr;
  uint8_t* recv_data_ = nullptr;
  CtrlChannel channel_;
  ActuatorType type_;
};

}  // namespace zorvik

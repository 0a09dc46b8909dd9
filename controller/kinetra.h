// KinetraA joint actuator: MIT impedance frames plus one-byte command codes.
#pragma once

#include <cstdint>
#include <string>

#include "controller/actuator.h"

namespace zorvik_kinetra {

// Command codes in byte 0 of the command slot.
constexpr uint8_t kCmdRequestState = 0x01;
constexpr uint8_t kCmdClearError = 0x02;
constexpr uint8_t kCmdSetHoming = 0x03;
constexpr uint8_t kCmdSetMode = 0x0B;
constexpr uint8_t kCmdSetPosition = 0x65;
constexpr uint8_t kCmdSetVelocity = 0x66;
constexpr uint8_t kCmdSetEffort = 0x67;
constexpr uint8_t kCmdSaveConfig = 0xCC;
constexpr uint8_t kSaveConfigKey = 0x7B;

// Default MIT ranges of the two sizes.
zorvik::MitParam DefaultMitParam(zorvik::ActuatorType type);

class KinetraA : public zorvik::Actuator {
 public:
  // type is KINETRA_A50 or KINETRA_A90; it selects the default ranges.
  KinetraA(std::string name, uint8_t id, zorvik::CtrlChannel channel, zorvik::ActuatorType type);

  void SetDataFiled(uint8_t* send, uint8_t* recv) override;
  void RequestState(zorvik::ActautorState state) override;
  void ClearError() override;
  void SetHomingPosition() override;
  void SaveConfig() override;
  void SetMode(zorvik::ActautorMode mode) override;
  std::string GetErrorString() override;
  zorvik::ActautorState GetPowerState() override;
  void SetEffort(float effort) override;
  float GetEffort() override;
  void SetVelocity(float velocity) override;
  float GetVelocity() override;
  void SetPosition(float position) override;
  float GetPosition() override;
  void SetMitParam(zorvik::MitParam param) override;
  void SetMitCmd(float position, float velocity, float effort, float kp, float kd) override;

  // Quantises x over [min, max] into a code of the given width. x is held to
  // the range first (NaN counts as 0.0), so the code is always 0 to 2^bits - 1.
  int MitFloatToUint(float x, float min, float max, int bits);
  float MitUintToFloat(int code, float min, float max, int bits);

  zorvik::MitParam GetMitParam() const { return mit_param_; }

 private:
  void WriteFloatCommand(uint8_t code, float value);

  zorvik::MitParam mit_param_;
  uint8_t* cmd_slot_ = nullptr;
  uint8_t* fb_slot_ = nullptr;
};

}  // namespace zorvik_kinetra

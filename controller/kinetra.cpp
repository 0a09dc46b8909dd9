#include "controller/kinetra.h"

#include <cmath>

namespace zorvik_kinetra {

zorvik::MitParam DefaultMitParam(zorvik::ActuatorType type) {
  // Nearest single-precision values to 2*pi and 4*pi.
  constexpr float kTwoPi = 6.2831855f;
  constexpr float kFourPi = 12.566371f;
  const float effort = (type == zorvik::KINETRA_A90) ? 100.0f : 50.0f;
  return zorvik::MitParam{-kTwoPi, kTwoPi, -kFourPi, kFourPi, -effort, effort,
                          0.0f,    500.0f, 0.0f,     8.0f};
}

KinetraA::KinetraA(std::string name, uint8_t id, zorvik::CtrlChannel channel,
                   zorvik::ActuatorType type)
    : Actuator(std::move(name), id, channel, type), mit_param_(DefaultMitParam(type)) {}

void KinetraA::SetDataFiled(uint8_t* send, uint8_t* recv) {
  Actuator::SetDataFiled(send, recv);
  cmd_slot_ = send_data_;
  fb_slot_ = recv_data_;
}

void KinetraA::RequestState(zorvik::ActautorState state) {
  send_data_[0] = kCmdRequestState;
  send_data_[1] = static_cast<uint8_t>(state);
}

void KinetraA::ClearError() { send_data_[0] = kCmdClearError; }

void KinetraA::SetHomingPosition() { send_data_[0] = kCmdSetHoming; }

void KinetraA::SaveConfig() {
  send_data_[0] = kCmdSaveConfig;
  send_data_[1] = kSaveConfigKey;
}

void KinetraA::SetMode(zorvik::ActautorMode mode) {
  send_data_[0] = kCmdSetMode;
  send_data_[1] = static_cast<uint8_t>(mode);
}

std::string KinetraA::GetErrorString() { return "None"; }

zorvik::ActautorState KinetraA::GetPowerState() {
  return static_cast<zorvik::ActautorState>((fb_slot_[5] >> 1) & 0x07);
}

void KinetraA::WriteFloatCommand(uint8_t code, float value) {
  send_data_[0] = code;
  zorvik_utils::FloatToBytes(value, send_data_ + 1);
}

void KinetraA::SetEffort(float effort) { WriteFloatCommand(kCmdSetEffort, effort); }
void KinetraA::SetVelocity(float velocity) { WriteFloatCommand(kCmdSetVelocity, velocity); }
void KinetraA::SetPosition(float position) { WriteFloatCommand(kCmdSetPosition, position); }

float KinetraA::GetPosition() {
  const int code = (recv_data_[0] << 8) | recv_data_[1];
  return MitUintToFloat(code, mit_param_.position_min, mit_param_.position_max, 16);
}

float KinetraA::GetVelocity() {
  const int code = (recv_data_[2] << 4) | (recv_data_[3] >> 4);
  return MitUintToFloat(code, mit_param_.velocity_min, mit_param_.velocity_max, 12);
}

float KinetraA::GetEffort() {
  const int code = ((recv_data_[3] & 0x0F) << 8) | recv_data_[4];
  return MitUintToFloat(code, mit_param_.effort_min, mit_param_.effort_max, 12);
}

void KinetraA::SetMitParam(zorvik::MitParam param) { mit_param_ = param; }

void KinetraA::SetMitCmd(float position, float velocity, float effort, float kp, float kd) {
  const zorvik::MitParam& p = mit_param_;
  const int32_t pos = MitFloatToUint(position, p.position_min, p.position_max, 16);
  const int32_t vel = MitFloatToUint(velocity, p.velocity_min, p.velocity_max, 12);
  const int32_t eff = MitFloatToUint(effort, p.effort_min, p.effort_max, 12);
  const int32_t kpc = MitFloatToUint(kp, p.kp_min, p.kp_max, 12);
  const int32_t kdc = MitFloatToUint(kd, p.kd_min, p.kd_max, 12);

  send_data_[0] = static_cast<uint8_t>(pos >> 8);
  send_data_[1] = static_cast<uint8_t>(pos);
  send_data_[2] = static_cast<uint8_t>(vel >> 4);
  send_data_[3] = static_cast<uint8_t>((vel << 4) | (kpc >> 8));
  send_data_[4] = static_cast<uint8_t>(kpc);
  send_data_[5] = static_cast<uint8_t>(kdc >> 4);
  send_data_[6] = static_cast<uint8_t>((kdc << 4) | (eff >> 8));
  send_data_[7] = static_cast<uint8_t>(eff);
}

int KinetraA::MitFloatToUint(float x, float min, float max, int bits) {
  // Saturate before quantising: an out-of-range value would otherwise wrap
  // around its field or spill into the neighbouring one.
  if (std::isnan(x)) x = 0.0f;
  if (x < min) x = min;
  if (x > max) x = max;
  const float a = x - min;
  const float span = max - min;
  float t = static_cast<float>((1 << bits) - 1) * a;
  t = t / span;
  if (!(t >= 0.0f)) return 0;  // empty or inverted range
  const int top = (1 << bits) - 1;
  const int code = static_cast<int>(t);
  return code > top ? top : code;
}

float KinetraA::MitUintToFloat(int code, float min, float max, int bits) {
  const float span = max - min;
  float t = static_cast<float>(code) * span;
  t = t / static_cast<float>((1 << bits) - 1);
  return min + t;
}

}  // namespace zorvik_kinetra

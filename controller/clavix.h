// Clavix gripper: position and effort as one-byte fractions of full scale.
#pragma once

#include <cstdint>
#include <string>

#include "controller/actuator.h"

namespace zorvik_clavix {

// Command slot: byte 1 position, byte 2 effort (0..255 = 0..1), bytes 3..5
// always 255; bytes 0, 6 and 7 are left alone. Feedback slot: byte 2
// position, byte 3 velocity, byte 4 effort, each 0..255.
class Clavix : public zorvik::Actuator {
 public:
  Clavix(std::string name, uint8_t id, zorvik::CtrlChannel channel)
      : Actuator(std::move(name), id, channel, zorvik::CLAVIX) {}

  void SetDataFiled(uint8_t* send, uint8_t* recv) override {
    Actuator::SetDataFiled(send, recv);
    cmd_slot_ = send_data_;
    fb_slot_ = recv_data_;
  }
  void SetMitCmd(float position, float velocity, float effort, float kp, float kd) override {
    (void)velocity, (void)kp, (void)kd;
    cmd_slot_[2] = FractionToByte(effort);
    cmd_slot_[1] = FractionToByte(position);
    cmd_slot_[3] = 0xFF;
    cmd_slot_[4] = 0xFF;
    cmd_slot_[5] = 0xFF;
  }
  float GetPosition() override { return static_cast<float>(fb_slot_[2]) / 255.0f; }
  float GetVelocity() override { return static_cast<float>(fb_slot_[3]) / 255.0f; }
  float GetEffort() override { return static_cast<float>(fb_slot_[4]) / 255.0f; }

  // Fraction of full scale to a byte, truncated; saturates at 255 above 1.0
  // and at 0 below 0 (NaN included).
  static uint8_t FractionToByte(float fraction) {
    if (fraction > 1.0f) return 0xFF;
    if (!(fraction > 0.0f)) return 0;
    return static_cast<uint8_t>(static_cast<int>(fraction * 255.0f));
  }

 private:
  uint8_t* cmd_slot_ = nullptr;
  uint8_t* fb_slot_ = nullptr;
};

}  // namespace zorvik_clavix

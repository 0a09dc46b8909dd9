// KinetraB joint actuator: position set-point and effort as plain floats.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "controller/actuator.h"

namespace zorvik_kinetra {

// Effort written into a freshly bound command slot.
constexpr float kKinetraBDefaultEffort = 2.5f;

// Command slot: bytes 0..3 position set-point, 4..7 effort. Feedback slot:
// bytes 0..3 position, 4..7 effort. Floats in the machine's byte order.
class KinetraB : public zorvik::Actuator {
 public:
  KinetraB(std::string name, uint8_t id, zorvik::CtrlChannel channel)
      : Actuator(std::move(name), id, channel, zorvik::KINETRA_B30) {}

  void SetDataFiled(uint8_t* send, uint8_t* recv) override {
    Actuator::SetDataFiled(send, recv);
    cmd_slot_ = send_data_;
    fb_slot_ = recv_data_;
    SetEffort(kKinetraBDefaultEffort);
  }
  void SetPosition(float position) override { std::memcpy(cmd_slot_, &position, sizeof(float)); }
  void SetEffort(float effort) override { std::memcpy(cmd_slot_ + 4, &effort, sizeof(float)); }
  // Only the position reaches the device; the effort stays as set.
  void SetMitCmd(float position, float velocity, float effort, float kp, float kd) override {
    (void)velocity, (void)effort, (void)kp, (void)kd;
    SetPosition(position);
  }
  float GetPosition() override {
    float value;
    std::memcpy(&value, fb_slot_, sizeof(float));
    return value;
  }
  float GetEffort() override {
    float value;
    std::memcpy(&value, fb_slot_ + 4, sizeof(float));
    return value;
  }

 private:
  uint8_t* cmd_slot_ = nullptr;
  uint8_t* fb_slot_ = nullptr;
};

}  // namespace zorvik_kinetra

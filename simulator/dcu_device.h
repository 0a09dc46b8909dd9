// The DCU firmware behind the slave controller: three control channels of
// up to eight actuators each, and an IMU. It reads the output image the
// master wrote (channel addressing bytes, command slots, IMU flag) and writes
// the input image (feedback slots, IMU readings as big-endian floats).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "simulator/actuator_models.h"
#include "simulator/esc.h"

namespace dcusim {

struct ImuSettings {
  double gravity = 9.81;
  std::array<double, 3> axis{0, 0, 1};
  double acc_noise = 0.004;   // m/s², standard deviation per axis
  double gyro_noise = 0.0005; // rad/s
  std::array<double, 3> gyro_bias{0.003, -0.002, 0.001};
  bool present = true;
};

class DcuDevice : public PdiApplication {
 public:
  DcuDevice(const ImuSettings& imu, uint64_t seed);

  // channel 0..2, id 1..8. Returns false if the slot is taken.
  bool Attach(int channel, int id, std::unique_ptr<ActuatorModel> model);
  ActuatorModel* Slot(int channel, int id) const;

  void Cycle(uint64_t now_ns, const uint8_t* outputs, size_t out_len, bool fresh, bool apply,
             uint8_t* inputs, size_t in_len) override;
  void OnLeaveOp() override {}

  ImuSettings& imu() { return imu_; }
  const ImuSettings& imu() const { return imu_; }
  bool imu_offset_applied() const { return offset_applied_; }

 private:
  void WriteImu(uint8_t* inputs, size_t in_len);

  std::array<std::unique_ptr<ActuatorModel>, 24> slots_;
  std::array<std::array<uint8_t, 8>, 24> last_{};
  ImuSettings imu_;
  bool offset_applied_ = false;
  uint64_t last_ns_ = 0;
  std::mt19937_64 rng_;
  std::normal_distribution<double> normal_{0.0, 1.0};
};

// IEEE-754 single precision, most significant byte first.
void PutFloatBe(uint8_t* p, float v);
float GetFloatBe(const uint8_t* p);

}  // namespace dcusim

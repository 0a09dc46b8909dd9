// The DCU firmware behind the slave controller: three control channels of
// up to eight actuators each, and an IMU. It reads the output image the
// master wrote (channel addressing bytes, command slots, IMU flag) and writes
// the input image (feedback slots, IMU readings as big-endian floats).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "simulator/esc.h"

namespace dcusim {

enum class ActuatorFault { kNone, kNoHandshake, kNoEnable, kNoMove, kSlow };
const char* FaultName(ActuatorFault f);
bool ParseFault(const std::string& text, ActuatorFault* out);

// Device-model type codes as reported in the shake-hand reply.
enum ActuatorTypeCode : uint8_t {
  kTypeClavix = 1,
  kTypeKinetraA50 = 2,
  kTypeKinetraA90 = 3,
  kTypeKinetraB30 = 7,
};
bool ParseActuatorType(const std::string& text, ActuatorTypeCode* out);
const char* ActuatorTypeName(ActuatorTypeCode t);

struct Dynamics {
  double kinetra_a_inertia = 0.05;   // kg m²
  double kinetra_a_damping = 0.1;    // N m s/rad
  double kinetra_a_friction = 0.02;  // N m
  double kinetra_b_speed = 5.0;      // position units per second
  double clavix_speed = 0.6;         // fractions of full stroke per second
  double slow_factor = 0.02;         // speed scale of a "slow" actuator
};

class ActuatorModel {
 public:
  ActuatorModel(std::string name, ActuatorTypeCode type, uint32_t info, const Dynamics& dyn);
  virtual ~ActuatorModel() = default;

  // A changed command arrived in the actuator's slot while it was addressed.
  // `broadcast`: the channel's addressing byte was 255.
  virtual void OnCommand(const uint8_t cmd[8], const uint8_t prev[8], bool broadcast) = 0;
  // Advances the physics by dt seconds; `driven` is false while the board is
  // not in OP (the DCU stops forwarding commands).
  virtual void Advance(double dt, bool driven) = 0;
  void WriteFeedback(uint8_t fb[8]) const;

  const std::string& name() const { return name_; }
  ActuatorTypeCode type() const { return type_; }
  ActuatorFault fault() const { return fault_; }
  void set_fault(ActuatorFault f) { fault_ = f; }
  // Mechanical end stop: the position never goes above this value (an
  // actuator that jams on its way). Infinity when there is none.
  double travel_limit() const { return travel_limit_; }
  void set_travel_limit(double limit) { travel_limit_ = limit; }
  bool handshake() const { return handshake_; }
  virtual int power_state() const { return 0; }
  virtual double position() const = 0;
  virtual double velocity() const = 0;
  virtual double effort() const = 0;

 protected:
  virtual void WriteOwnFeedback(uint8_t fb[8]) const = 0;
  void StartHandshake() {
    if (fault_ != ActuatorFault::kNoHandshake) handshake_ = true;
  }
  double SpeedScale() const { return fault_ == ActuatorFault::kSlow ? dyn_.slow_factor : 1.0; }

  std::string name_;
  ActuatorTypeCode type_;
  uint32_t info_;
  Dynamics dyn_;
  ActuatorFault fault_ = ActuatorFault::kNone;
  double travel_limit_ = std::numeric_limits<double>::infinity();
  bool handshake_ = false;
};

std::unique_ptr<ActuatorModel> MakeActuator(const std::string& name, ActuatorTypeCode type, uint32_t info,
                                            const Dynamics& dyn);

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

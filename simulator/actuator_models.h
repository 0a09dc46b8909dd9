// The actuators behind a DCU's control channels: one table of the models the
// simulator knows (configuration type text, shake-hand type code, effort
// range, factory) and one of the faults an actuator can be given.
//
// A new model is its class in actuator_models.cc and its row in kActuatorKinds
// there; a new fault is its row in Faults() and its effect in the models.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace dcusim {

enum class ActuatorFault { kNone, kNoHandshake, kNoEnable, kNoMove, kSlow };

struct FaultInfo {
  ActuatorFault fault;
  const char* name;    // in commands, configuration and replies
  const char* effect;  // what the actuator does (README, help)
};
// Every fault, kNone first.
const std::vector<FaultInfo>& Faults();
const char* FaultName(ActuatorFault f);
bool ParseFault(const std::string& text, ActuatorFault* out);
// The fault names joined by `separator`, in table order ("none|no_handshake|...").
std::string FaultNames(const char* separator);

struct Dynamics {
  double kinetra_a_inertia = 0.05;   // kg m²
  double kinetra_a_damping = 0.1;    // N m s/rad
  double kinetra_a_friction = 0.02;  // N m
  double kinetra_b_speed = 5.0;      // position units per second
  double clavix_speed = 0.6;         // fractions of full stroke per second
  double slow_factor = 0.02;         // speed scale of a "slow" actuator
};

class ActuatorModel;
struct ActuatorKind {
  const char* type;   // the configuration's `type` text, e.g. "KINETRA_A90"
  uint8_t code;       // device-model type code in the shake-hand reply
  double effort_max;  // effort range of models that saturate (0: unused)
  std::unique_ptr<ActuatorModel> (*make)(const ActuatorKind& kind, const std::string& name, uint32_t info,
                                         const Dynamics& dyn);
};
// Every model the simulator knows, in the order the README lists them.
const std::vector<ActuatorKind>& ActuatorKinds();
// The row for a configuration type text; nullptr when unknown.
const ActuatorKind* FindActuatorKind(const std::string& type);

class ActuatorModel {
 public:
  ActuatorModel(const ActuatorKind& kind, std::string name, uint32_t info, const Dynamics& dyn);
  virtual ~ActuatorModel() = default;

  // A changed command arrived in the actuator's slot while it was addressed.
  // `broadcast`: the channel's addressing byte was 255.
  virtual void OnCommand(const uint8_t cmd[8], const uint8_t prev[8], bool broadcast) = 0;
  // Advances the physics by dt seconds; `driven` is false while the board is
  // not in OP (the DCU stops forwarding commands).
  virtual void Advance(double dt, bool driven) = 0;
  void WriteFeedback(uint8_t fb[8]) const;

  const std::string& name() const { return name_; }
  const ActuatorKind& kind() const { return kind_; }
  const char* type_name() const { return kind_.type; }
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

  const ActuatorKind& kind_;
  std::string name_;
  uint32_t info_;
  Dynamics dyn_;
  ActuatorFault fault_ = ActuatorFault::kNone;
  double travel_limit_ = std::numeric_limits<double>::infinity();
  bool handshake_ = false;
};

std::unique_ptr<ActuatorModel> MakeActuator(const ActuatorKind& kind, const std::string& name, uint32_t info,
                                            const Dynamics& dyn);

}  // namespace dcusim

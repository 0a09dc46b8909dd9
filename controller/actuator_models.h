// The actuator models of this system, one row each in
// controller/actuator_models.cpp: the code a device answers the shake-hand
// with, the model's text in configuration files and log lines, how to build
// its driver object, whether it has a power stage, and how the robot
// self-test moves it. A new model is its driver class plus its code below
// and its row; everything else (the facade's factory and refusals, the
// configuration's type texts, the model-mismatch warning, enabling and
// disabling, the motion test) reads the table.
#pragma once

#include <cstdint>
#include <string>

namespace zorvik {

class Actuator;
enum CtrlChannel : uint8_t;

// Model codes as answered in byte 0 of the shake-hand reply (1 to 7).
enum ActuatorType : int32_t {
  TYPE_NONE = 0,
  CLAVIX = 1,
  KINETRA_A50 = 2,
  KINETRA_A90 = 3,
  KINETRA_B30 = 7,
};

// How the robot self-test moves one actuator of a model and judges it:
// the SetMitCmd arguments (position, velocity, effort, kp, kd) of the
// forward and of the reverse move, the quantity read back (position or
// velocity), and per direction the commanded target the report names and
// the threshold the reading must pass (forward above it, reverse below it),
// read every poll_period_ms at most poll_limit times.
struct MotionTest {
  float forward[5];
  float reverse[5];
  bool reads_position;
  double forward_target, forward_threshold;
  double reverse_target, reverse_threshold;
  int poll_period_ms;
  int poll_limit;
};

struct ActuatorModel {
  ActuatorType type;
  const char* text;  // as written in configuration files and log lines
  // Models without one cannot be switched on or off: they count as enabled
  // once their board is in OP and as disabled whatever the board's state.
  bool has_power_stage;
  Actuator* (*create)(const std::string& name, uint8_t id, CtrlChannel channel);
  MotionTest motion;
};

// The row of type, or null for a code that names no model of this system.
const ActuatorModel* FindModel(ActuatorType type);
// The row whose text is exactly text, or null.
const ActuatorModel* FindModel(const std::string& text);
// Every row, in the table's order; count receives their number.
const ActuatorModel* AllModels(size_t& count);

}  // namespace zorvik

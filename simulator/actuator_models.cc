#include "simulator/actuator_models.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dcusim {

namespace {

constexpr uint8_t kShakeHand = 0xCD;
constexpr double kTwoPi = 6.2831855;
constexpr double kFourPi = 12.566371;

// Command codes understood by a KinetraA in its command form.
bool IsKinetraCommandCode(uint8_t c) {
  switch (c) {
    case 1: case 2: case 3: case 11: case 101: case 102: case 103: case 204: case kShakeHand:
      return true;
    default:
      return false;
  }
}

float GetFloatLe(const uint8_t* p) {
  uint32_t u = 0;
  for (int i = 3; i >= 0; --i) u = (u << 8) | p[i];
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

void PutFloatLe(uint8_t* p, float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

// Quantisation of the MIT frames over [lo, hi] with `bits` bits.
double FromCode(uint32_t code, double lo, double hi, int bits) {
  return lo + static_cast<double>(code) * (hi - lo) / static_cast<double>((1u << bits) - 1);
}

uint32_t ToCode(double x, double lo, double hi, int bits) {
  const double max = static_cast<double>((1u << bits) - 1);
  double c = std::round((x - lo) / (hi - lo) * max);
  return static_cast<uint32_t>(std::clamp(c, 0.0, max));
}

class KinetraA : public ActuatorModel {
 public:
  KinetraA(const ActuatorKind& kind, const std::string& name, uint32_t info, const Dynamics& dyn)
      : ActuatorModel(kind, name, info, dyn), effort_max_(kind.effort_max) {}

  void OnCommand(const uint8_t c[8], const uint8_t*, bool broadcast) override {
    handshake_ = false;
    if (!broadcast && IsKinetraCommandCode(c[0])) {
      switch (c[0]) {
        case 1:
          if (c[1] == 1 && fault_ == ActuatorFault::kNoEnable) break;
          power_ = c[1] & 0x07;
          break;
        case 2:  // clear error: nothing latched in this model
          break;
        case 3:
          home_ += p_;
          p_ = 0;
          break;
        case 11:
          mode_ = c[1];
          break;
        case 101:
          SetLoop(GetFloatLe(c + 1), 0, 0, 20.0, 1.0);
          break;
        case 102:
          SetLoop(p_, GetFloatLe(c + 1), 0, 0, 2.0);
          break;
        case 103:
          SetLoop(p_, 0, GetFloatLe(c + 1), 0, 0);
          break;
        case 204:
          break;
        case kShakeHand:
          StartHandshake();
          break;
      }
      return;
    }
    // MIT frame: set-point and gains, applied continuously from now on.
    const uint32_t p = (c[0] << 8) | c[1];
    const uint32_t v = (c[2] << 4) | (c[3] >> 4);
    const uint32_t kp = ((c[3] & 0x0F) << 8) | c[4];
    const uint32_t kd = (c[5] << 4) | (c[6] >> 4);
    const uint32_t t = ((c[6] & 0x0F) << 8) | c[7];
    SetLoop(FromCode(p, -kTwoPi, kTwoPi, 16), FromCode(v, -kFourPi, kFourPi, 12),
            FromCode(t, -effort_max_, effort_max_, 12), FromCode(kp, 0, 500, 12), FromCode(kd, 0, 8, 12));
  }

  void Advance(double dt, bool driven) override {
    const double j = dyn_.kinetra_a_inertia, b = dyn_.kinetra_a_damping, fr = dyn_.kinetra_a_friction;
    const bool frozen = fault_ == ActuatorFault::kNoMove;
    const double vmax = fault_ == ActuatorFault::kSlow ? 0.05 : 1e9;
    double left = dt;
    while (left > 0) {
      const double h = std::min(left, 0.0005);
      left -= h;
      tau_ = 0;
      if (power_ == 1 && driven && !frozen) {
        tau_ = std::clamp(kp_ * (p_des_ - p_) + kd_ * (v_des_ - v_) + t_ff_, -effort_max_, effort_max_);
      }
      if (frozen) {
        v_ = 0;
        continue;
      }
      const double a = (tau_ - b * v_ - fr * std::tanh(v_ / 0.01)) / j;
      v_ = std::clamp(v_ + a * h, -vmax, vmax);
      p_ += v_ * h;
    }
  }

  int power_state() const override { return power_; }
  double position() const override { return p_; }
  double velocity() const override { return v_; }
  double effort() const override { return tau_; }

 protected:
  void WriteOwnFeedback(uint8_t fb[8]) const override {
    const uint32_t p = ToCode(p_, -kTwoPi, kTwoPi, 16);
    const uint32_t v = ToCode(v_, -kFourPi, kFourPi, 12);
    const uint32_t t = ToCode(tau_, -effort_max_, effort_max_, 12);
    fb[0] = static_cast<uint8_t>(p >> 8);
    fb[1] = static_cast<uint8_t>(p);
    fb[2] = static_cast<uint8_t>(v >> 4);
    fb[3] = static_cast<uint8_t>(((v & 0x0F) << 4) | (t >> 8));
    fb[4] = static_cast<uint8_t>(t);
    fb[5] = static_cast<uint8_t>(power_ << 1);
    fb[6] = 35;  // winding temperature, °C
    fb[7] = 0;
  }

 private:
  void SetLoop(double p, double v, double t, double kp, double kd) {
    p_des_ = p;
    v_des_ = v;
    t_ff_ = t;
    kp_ = kp;
    kd_ = kd;
  }

  double effort_max_;
  uint8_t power_ = 0;
  uint8_t mode_ = 0;
  double p_ = 0, v_ = 0, tau_ = 0, home_ = 0;
  double p_des_ = 0, v_des_ = 0, t_ff_ = 0, kp_ = 0, kd_ = 0;
};

class KinetraB : public ActuatorModel {
 public:
  using ActuatorModel::ActuatorModel;

  void OnCommand(const uint8_t c[8], const uint8_t*, bool) override {
    handshake_ = false;
    if (c[0] == kShakeHand && c[1] == 0 && c[2] == 0 && c[3] == 0) {
      StartHandshake();
      return;
    }
    const float target = GetFloatLe(c);
    const float effort = GetFloatLe(c + 4);
    if (std::isfinite(target)) target_ = target;
    if (std::isfinite(effort)) effort_cmd_ = effort;
  }

  void Advance(double dt, bool driven) override {
    v_ = 0;
    if (!driven || fault_ == ActuatorFault::kNoMove || dt <= 0) return;
    const double step = dyn_.kinetra_b_speed * SpeedScale() * dt;
    const double before = p_;
    p_ = std::min(p_ + std::clamp(target_ - p_, -step, step), std::max(before, travel_limit_));
    v_ = (p_ - before) / dt;
  }

  double position() const override { return p_; }
  double velocity() const override { return v_; }
  double effort() const override { return v_ != 0 ? effort_cmd_ : 0.2 * effort_cmd_; }

 protected:
  void WriteOwnFeedback(uint8_t fb[8]) const override {
    PutFloatLe(fb, static_cast<float>(p_));
    PutFloatLe(fb + 4, static_cast<float>(effort()));
  }

 private:
  double p_ = 0, v_ = 0, target_ = 0, effort_cmd_ = 0;
};

class Clavix : public ActuatorModel {
 public:
  using ActuatorModel::ActuatorModel;

  void OnCommand(const uint8_t c[8], const uint8_t* prev, bool) override {
    handshake_ = false;
    // The gripper's own commands never touch byte 0, so a byte 0 that just
    // became 0xCD is a shake-hand request.
    if (c[0] == kShakeHand && prev[0] != kShakeHand) {
      StartHandshake();
      return;
    }
    target_ = c[1] / 255.0;
    effort_cmd_ = c[2] / 255.0;
  }

  void Advance(double dt, bool driven) override {
    v_ = 0;
    if (!driven || fault_ == ActuatorFault::kNoMove || dt <= 0) return;
    const double step = dyn_.clavix_speed * SpeedScale() * dt;
    const double before = p_;
    p_ = std::clamp(p_ + std::clamp(target_ - p_, -step, step), 0.0, std::max(before, travel_limit_));
    v_ = (p_ - before) / dt;
  }

  double position() const override { return p_; }
  double velocity() const override { return v_; }
  double effort() const override { return effort_cmd_; }

 protected:
  void WriteOwnFeedback(uint8_t fb[8]) const override {
    auto byte = [](double x) { return static_cast<uint8_t>(std::lround(std::clamp(x, 0.0, 1.0) * 255.0)); };
    std::memset(fb, 0, 8);
    fb[2] = byte(p_);
    fb[3] = byte(std::fabs(v_) / std::max(dyn_.clavix_speed, 1e-9));
    fb[4] = byte(effort_cmd_);
  }

 private:
  double p_ = 0, v_ = 0, target_ = 0, effort_cmd_ = 0;
};

template <class Model>
std::unique_ptr<ActuatorModel> Make(const ActuatorKind& kind, const std::string& name, uint32_t info,
                                    const Dynamics& dyn) {
  return std::make_unique<Model>(kind, name, info, dyn);
}

}  // namespace

// The models: configuration type text, shake-hand type code, effort range,
// behaviour.
const std::vector<ActuatorKind>& ActuatorKinds() {
  static const std::vector<ActuatorKind> kinds = {
      {"KINETRA_A50", 2, 50.0, Make<KinetraA>},
      {"KINETRA_A90", 3, 100.0, Make<KinetraA>},
      {"KINETRA_B30", 7, 0.0, Make<KinetraB>},
      {"CLAVIX", 1, 0.0, Make<Clavix>},
  };
  return kinds;
}

const ActuatorKind* FindActuatorKind(const std::string& type) {
  for (const ActuatorKind& k : ActuatorKinds()) {
    if (type == k.type) return &k;
  }
  return nullptr;
}

// The faults an actuator can be given (commands, configuration, replies).
const std::vector<FaultInfo>& Faults() {
  static const std::vector<FaultInfo> faults = {
      {ActuatorFault::kNone, "none", "no fault"},
      {ActuatorFault::kNoHandshake, "no_handshake", "shake-hand ignored"},
      {ActuatorFault::kNoEnable, "no_enable", "stays disabled"},
      {ActuatorFault::kNoMove, "no_move", "enabled but does not move"},
      {ActuatorFault::kSlow, "slow", "at most 0.05 rad/s, or 2 % of the normal speed"},
  };
  return faults;
}

const char* FaultName(ActuatorFault f) {
  for (const FaultInfo& i : Faults()) {
    if (i.fault == f) return i.name;
  }
  return "none";
}

bool ParseFault(const std::string& text, ActuatorFault* out) {
  for (const FaultInfo& i : Faults()) {
    if (text == i.name) {
      *out = i.fault;
      return true;
    }
  }
  return false;
}

std::string FaultNames(const char* separator) {
  std::string s;
  for (const FaultInfo& i : Faults()) s += (s.empty() ? "" : separator) + std::string(i.name);
  return s;
}

ActuatorModel::ActuatorModel(const ActuatorKind& kind, std::string name, uint32_t info, const Dynamics& dyn)
    : kind_(kind), name_(std::move(name)), info_(info & 0xFFFFFF), dyn_(dyn) {
  if (info_ == 0) info_ = 1;
}

void ActuatorModel::WriteFeedback(uint8_t fb[8]) const {
  if (handshake_) {
    std::memset(fb, 0, 8);
    fb[0] = kind_.code;
    fb[1] = static_cast<uint8_t>(info_ >> 16);
    fb[2] = static_cast<uint8_t>(info_ >> 8);
    fb[3] = static_cast<uint8_t>(info_);
    return;
  }
  WriteOwnFeedback(fb);
}

std::unique_ptr<ActuatorModel> MakeActuator(const ActuatorKind& kind, const std::string& name, uint32_t info,
                                            const Dynamics& dyn) {
  return kind.make(kind, name, info, dyn);
}

}  // namespace dcusim

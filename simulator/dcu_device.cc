#include "simulator/dcu_device.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dcusim {

void PutFloatBe(uint8_t* p, float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (24 - 8 * i));
}

float GetFloatBe(const uint8_t* p) {
  uint32_t u = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | p[3];
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

DcuDevice::DcuDevice(const ImuSettings& imu, uint64_t seed) : imu_(imu), rng_(seed) {}

bool DcuDevice::Attach(int channel, int id, std::unique_ptr<ActuatorModel> model) {
  if (channel < 0 || channel > 2 || id < 1 || id > 8) return false;
  auto& slot = slots_[channel * 8 + id - 1];
  if (slot) return false;
  slot = std::move(model);
  return true;
}

ActuatorModel* DcuDevice::Slot(int channel, int id) const {
  if (channel < 0 || channel > 2 || id < 1 || id > 8) return nullptr;
  return slots_[channel * 8 + id - 1].get();
}

void DcuDevice::Cycle(uint64_t now_ns, const uint8_t* out, size_t out_len, bool, bool apply, uint8_t* in,
                      size_t in_len) {
  double dt = last_ns_ && now_ns > last_ns_ ? static_cast<double>(now_ns - last_ns_) * 1e-9 : 0.0;
  dt = std::min(dt, 0.2);
  last_ns_ = now_ns;

  if (apply) {
    for (int c = 0; c < 3; ++c) {
      const size_t base = 65 * c;
      if (base >= out_len) break;
      const uint8_t mask = out[base];
      for (int n = 0; n < 8; ++n) {
        const size_t off = base + 1 + 8 * n;
        if (off + 8 > out_len) break;
        if (mask != 0xFF && !((mask >> n) & 1)) continue;
        auto& last = last_[c * 8 + n];
        if (std::memcmp(last.data(), out + off, 8) == 0) continue;
        if (auto& m = slots_[c * 8 + n]) m->OnCommand(out + off, last.data(), mask == 0xFF);
        std::memcpy(last.data(), out + off, 8);
      }
    }
    // The IMU takes its user offset while the flag is raised.
    if (out_len > 195 && out[195]) offset_applied_ = true;
  }

  for (auto& m : slots_) {
    if (m) m->Advance(dt, apply);
  }
  if (!in) return;
  for (int i = 0; i < 24; ++i) {
    const size_t off = 64 * (i / 8) + 8 * (i % 8);
    if (slots_[i] && off + 8 <= in_len) slots_[i]->WriteFeedback(in + off);
  }
  WriteImu(in, in_len);
}

void DcuDevice::WriteImu(uint8_t* in, size_t in_len) {
  if (in_len < 232) return;
  if (!imu_.present) {
    std::memset(in + 192, 0, 40);
    return;
  }
  double ax = imu_.axis[0], ay = imu_.axis[1], az = imu_.axis[2];
  const double norm = std::sqrt(ax * ax + ay * ay + az * az);
  if (norm > 0) {
    ax /= norm;
    ay /= norm;
    az /= norm;
  } else {
    az = 1;
  }
  const double acc[3] = {imu_.gravity * ax, imu_.gravity * ay, imu_.gravity * az};
  for (int i = 0; i < 3; ++i) {
    PutFloatBe(in + 192 + 4 * i, static_cast<float>(acc[i] + imu_.acc_noise * normal_(rng_)));
  }
  for (int i = 0; i < 3; ++i) {
    const double bias = offset_applied_ ? 0.0 : imu_.gyro_bias[i];
    PutFloatBe(in + 204 + 4 * i, static_cast<float>(bias + imu_.gyro_noise * normal_(rng_)));
  }
  // Orientation: the shortest rotation taking the board's z axis onto the
  // measured gravity direction; order w, x, y, z.
  double w = 1 + az, x = -ay, y = ax, z = 0;
  if (w < 1e-9) {
    w = 0;
    x = 1;
    y = 0;
  }
  const double qn = std::sqrt(w * w + x * x + y * y + z * z);
  const double q[4] = {w / qn, x / qn, y / qn, z / qn};
  for (int i = 0; i < 4; ++i) PutFloatBe(in + 216 + 4 * i, static_cast<float>(q[i]));
}

}  // namespace dcusim

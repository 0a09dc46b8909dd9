#include "base/comm_utils.h"

#include <sched.h>

#include <cstring>

#include "base/log.h"

namespace zorvik_utils {

void FloatToBytes(float value, uint8_t* out) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  out[0] = static_cast<uint8_t>(bits);
  out[1] = static_cast<uint8_t>(bits >> 8);
  out[2] = static_cast<uint8_t>(bits >> 16);
  out[3] = static_cast<uint8_t>(bits >> 24);
}

float BytesToFloat(const uint8_t* in) {
  const uint32_t bits = (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
                        (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

void Uint16ToBytes(uint16_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t BytesToUint16(const uint8_t* in) {
  return static_cast<uint16_t>((static_cast<unsigned>(in[0]) << 8) | in[1]);
}

namespace {

// Thread-safe text of an error number (the GNU form of strerror_r).
std::string ErrorText(int err) {
  char buf[128];
  return std::string(strerror_r(err, buf, sizeof(buf)));
}

}  // namespace

bool SetRealTimeThread(pthread_t thread, std::string name, int32_t priority, int32_t cpu) {
  if (!name.empty()) {
    // Names longer than 15 characters are refused by the kernel; the thread
    // then keeps its old name, which does not matter for its work.
    (void)pthread_setname_np(thread, name.c_str());
  }

  bool result = true;
  if (priority >= 0) {
    const int max_priority = sched_get_priority_max(SCHED_FIFO);
    if (priority > max_priority) priority = max_priority;
    sched_param param{};
    param.sched_priority = priority;
    const int ret = pthread_setschedparam(thread, SCHED_FIFO, &param);
    if (ret != 0) {
      ZORVIK_LOG_ERROR("setschedu error %s", ErrorText(ret).c_str());
      result = false;
    } else {
      ZORVIK_LOG_DEBUG("Thread %s set priority: %d ", name.c_str(), priority);
    }
  }

  if (cpu < 0) return result;

  // A set of 1024 CPUs; a core beyond it leaves the set empty, which the
  // kernel refuses.
  cpu_set_t cpuset;
  static_assert(sizeof(cpuset) == 128, "CPU set of 1024 CPUs");
  CPU_ZERO(&cpuset);
  if (cpu < 1024) CPU_SET(cpu, &cpuset);
  const int ret = pthread_setaffinity_np(thread, sizeof(cpuset), &cpuset);
  if (ret != 0) {
    ZORVIK_LOG_ERROR("setaffinity error %s", ErrorText(ret).c_str());
    return false;
  }
  ZORVIK_LOG_DEBUG("Thread %s bind cpu core: %d", name.c_str(), cpu);
  return result;
}

}  // namespace zorvik_utils

// The slaves' error counters: read by position or station address, served
// between two cycles while the bus runs, and described.
#include "ethercat_manager/ethercat_manager.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "base/comm_utils.h"
#include "base/log.h"
#include "ethercat.h"
#include "ethercat_manager/chain_diagnosis.h"
#include "ethercat_manager/nic_diagnosis.h"

#include "ethercat_manager/manager_internal.h"

namespace ethercat_manager {

using namespace internal;  // NOLINT(google-build-using-namespace)

namespace internal {

// Rise of one 8-bit counter; a counter below its earlier value was cleared
// in between and counts from 0.
unsigned Rise(uint8_t before, uint8_t now) { return now >= before ? now - before : now; }

// The line errors a slave controller counted itself between two readings
// ("port 0: lost links +1; PDI errors +2"), or "" when none. Errors that only
// passed through it (its forwarded counters) are a board's before it.
std::string DescribeOwnRise(const CounterReading& before, const CounterReading& now) {
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
  for (int port = 0; port < kCounterPorts; ++port) {
    std::string items;
    auto item = [&items](const char* what, unsigned n) {
      if (n > 0) items += (items.empty() ? "" : ", ") + std::string(what) + " +" + std::to_string(n);
    };
    const size_t p = static_cast<size_t>(port);
    item("rx errors", Rise(before.errors[kRxErrors + 2 * p], now.errors[kRxErrors + 2 * p]));
    item("invalid frames", Rise(before.errors[kInvalidFrames + 2 * p], now.errors[kInvalidFrames + 2 * p]));
    item("lost links", Rise(before.errors[kLostLinks + p], now.errors[kLostLinks + p]));
    if (!items.empty()) add("port " + std::to_string(port) + ": " + items);
  }
  const unsigned pu = Rise(before.errors[kProcessingUnit], now.errors[kProcessingUnit]);
  const unsigned pdi = Rise(before.errors[kPdi], now.errors[kPdi]);
  if (pu > 0) add("processing-unit errors +" + std::to_string(pu));
  if (pdi > 0) add("PDI errors +" + std::to_string(pdi));
  return text;
}

// Reads the counters by station address (or by position address) while no
// bus thread runs, with the given reply timeout.
bool ReadCountersWith(bool by_station, uint16_t address, CounterReading* out, int timeout_us) {
  uint8_t errors[kErrorCounterBytes] = {0};
  uint8_t watchdog = 0;
  if (by_station) {
    if (ec_FPRD(address, kRegErrorCounters, sizeof errors, errors, timeout_us) <= 0) return false;
    if (ec_FPRD(address, kRegSmWatchdogCounter, 1, &watchdog, timeout_us) <= 0) return false;
  } else {
    if (ec_APRD(address, kRegErrorCounters, sizeof errors, errors, timeout_us) <= 0) return false;
    if (ec_APRD(address, kRegSmWatchdogCounter, 1, &watchdog, timeout_us) <= 0) return false;
  }
  for (int i = 0; i < kErrorCounterBytes; ++i) out->errors[static_cast<size_t>(i)] = errors[i];
  out->sm_watchdog = watchdog;
  return true;
}

}  // namespace internal

bool EthercatManager::ReadErrorCounters(int32_t position, CounterReading* out) {
  if (position < 1 || position > ec_slavecount || out == nullptr) return false;
  out->position = position;
  for (int attempt = 0; attempt < kCounterReadTries; ++attempt) {
    if (ReadErrorCountersOnce(position, out)) return true;
  }
  return false;
}

bool EthercatManager::ReadErrorCountersOnce(int32_t position, CounterReading* out) {
  if (!running_.load()) return ReadCountersWith(true, ec_slave[position].configadr, out);
  // While the bus runs the cycle thread serves both reads, each between two
  // cycles.
  uint8_t errors[kErrorCounterBytes] = {0};
  uint8_t watchdog = 0;
  if (!ReadSlaveRegisters(position, kRegErrorCounters, errors, kErrorCounterBytes) ||
      !ReadSlaveRegisters(position, kRegSmWatchdogCounter, &watchdog, 1)) {
    return false;
  }
  for (int i = 0; i < kErrorCounterBytes; ++i) out->errors[static_cast<size_t>(i)] = errors[i];
  out->sm_watchdog = watchdog;
  return true;
}

std::vector<CounterReading> EthercatManager::ReadCountersByPosition() {
  std::vector<CounterReading> readings;
  uint8_t data[2] = {0, 0};
  int answering = 0;
  for (int attempt = 0; attempt < kCounterReadTries && answering <= 0; ++attempt) {
    answering = std::min(ec_BRD(0x0000, 0x0000, sizeof data, data, EC_TIMEOUTSAFE), EC_MAXSLAVE - 1);
  }
  for (int position = 1; position <= answering; ++position) {
    CounterReading r;
    r.position = position;
    bool read = false;
    for (int attempt = 0; attempt < kCounterReadTries && !read; ++attempt) {
      read = ReadCountersWith(false, static_cast<uint16_t>(1 - position), &r);
    }
    if (read) readings.push_back(r);
  }
  return readings;
}

std::vector<CounterReading> EthercatManager::ReadCountersByStation() {
  std::vector<CounterReading> readings;
  for (int position = 1; position <= ec_slavecount; ++position) {
    CounterReading r;
    if (ReadErrorCounters(position, &r)) readings.push_back(r);
  }
  return readings;
}

// --- Register reads of a program while the bus runs ---------------------------

bool EthercatManager::ReadRegistersNow(const RegisterRequest& request, uint8_t* data, int timeout_us) {
  const uint16 length = static_cast<uint16>(request.length);
  if (request.by_position) {
    return ec_APRD(static_cast<uint16>(1 - request.position), request.reg, length, data, timeout_us) > 0;
  }
  return ec_FPRD(ec_slave[request.position].configadr, request.reg, length, data, timeout_us) > 0;
}

bool EthercatManager::ReadSlaveRegisters(int32_t position, uint16_t reg, uint8_t* data, int length,
                                         bool by_position) {
  if (position < 1 || position > ec_slavecount || data == nullptr || length < 1 || length > kMaxRegisterRead) {
    return false;
  }
  RegisterRequest request;
  request.id = ++register_last_id_;
  request.position = position;
  request.reg = reg;
  request.length = length;
  request.by_position = by_position;
  if (!running_.load()) return ReadRegistersNow(request, data, EC_TIMEOUTRET3);
  {
    std::lock_guard<std::mutex> lock(register_mutex_);
    register_request_ = request;
    register_pending_.store(true, std::memory_order_release);
  }
  // The answer of an earlier request that was given up carries its own id
  // and is not taken for this one.
  const int64_t end_ns = MonotonicNowNs() + kCounterReadWaitNs;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(register_mutex_);
      if (register_answered_id_ == request.id) {
        if (register_answer_ok_) std::memcpy(data, register_answer_.data(), static_cast<size_t>(length));
        return register_answer_ok_;
      }
      if (!running_.load() || MonotonicNowNs() >= end_ns) {
        // Not taken yet: take it back. Taken: its datagram times out soon.
        if (register_request_.id == request.id) register_pending_.store(false);
        return false;
      }
    }
    SleepForNs(kMsToNs / 4);
  }
}

void EthercatManager::ServeRegisterRead() {
  if (!register_pending_.load(std::memory_order_acquire)) return;
  RegisterRequest request;
  {
    std::lock_guard<std::mutex> lock(register_mutex_);
    if (!register_pending_.load()) return;
    request = register_request_;
    register_pending_.store(false);
  }
  uint8_t data[kMaxRegisterRead] = {0};
  const bool read = ReadRegistersNow(request, data, kRegisterTimeoutUs);
  std::lock_guard<std::mutex> lock(register_mutex_);
  std::memcpy(register_answer_.data(), data, static_cast<size_t>(request.length));
  register_answer_ok_ = read;
  register_answered_id_ = request.id;
}

}  // namespace ethercat_manager

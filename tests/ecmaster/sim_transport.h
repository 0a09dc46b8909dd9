// Runs the master core against the simulated DCU network in-process: every
// sent frame passes through SimNetwork::ProcessFrame and its reply is queued
// for the next Receive. No sockets, no root. Allocation-free after
// construction, like the real transport.
#ifndef TESTS_ECMASTER_SIM_TRANSPORT_H
#define TESTS_ECMASTER_SIM_TRANSPORT_H

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "ecmaster/transport.h"
#include "simulator/sim_network.h"

namespace ecmaster_test {

class SimTransport : public ecmaster::Transport {
 public:
  explicit SimTransport(dcusim::SimNetwork* net) : net_(net) {}

  bool Send(const uint8_t* frame, size_t len) override {
    std::lock_guard<std::mutex> lk(mu_);
    ++sent_;
    if (drop_all_ || drop_next_ > 0) {
      if (drop_next_ > 0) --drop_next_;
      ++dropped_;
      return true;
    }
    if (count_ == kSlots || len > kFrameMax) {  // lost
      ++lost_;
      return true;
    }
    Slot& s = slots_[(head_ + count_) % kSlots];
    std::memcpy(s.data, frame, len);
    s.len = len;
    if (!net_->ProcessFrame(s.data, len, NowNs())) {
      ++lost_;
      return true;
    }
    ++count_;
    cv_.notify_all();
    return true;
  }

  int Receive(uint8_t* buf, size_t cap, int64_t timeout_ns) override {
    std::unique_lock<std::mutex> lk(mu_);
    if (count_ == 0 && timeout_ns > 0) {
      cv_.wait_for(lk, std::chrono::nanoseconds(timeout_ns), [&] { return count_ > 0; });
    }
    if (count_ == 0) return 0;
    const Slot& s = slots_[head_];
    const size_t n = s.len < cap ? s.len : cap;
    std::memcpy(buf, s.data, n);
    head_ = (head_ + 1) % kSlots;
    --count_;
    return static_cast<int>(n);
  }

  // Every frame sent from now on is lost (true) or answered again (false).
  void set_drop_all(bool drop) {
    std::lock_guard<std::mutex> lk(mu_);
    drop_all_ = drop;
  }
  // The next n frames are lost.
  void drop_next(int n) {
    std::lock_guard<std::mutex> lk(mu_);
    drop_next_ = n;
  }
  uint64_t sent() {
    std::lock_guard<std::mutex> lk(mu_);
    return sent_;
  }
  // Frames the simulated network did not answer.
  uint64_t lost() {
    std::lock_guard<std::mutex> lk(mu_);
    return lost_;
  }
  uint64_t dropped() {
    std::lock_guard<std::mutex> lk(mu_);
    return dropped_;
  }

  static uint64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
  }

 private:
  static constexpr size_t kSlots = 32;
  static constexpr size_t kFrameMax = 1536;
  struct Slot {
    uint8_t data[kFrameMax];
    size_t len;
  };

  dcusim::SimNetwork* net_;
  std::mutex mu_;
  std::condition_variable cv_;
  Slot slots_[kSlots];
  size_t head_ = 0;
  size_t count_ = 0;
  bool drop_all_ = false;
  int drop_next_ = 0;
  uint64_t sent_ = 0;
  uint64_t dropped_ = 0;
  uint64_t lost_ = 0;
};

}  // namespace ecmaster_test

#endif  // TESTS_ECMASTER_SIM_TRANSPORT_H

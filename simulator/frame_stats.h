// Statistics of the master's traffic as seen by the simulated network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dcusim {

// Log-linear histogram of non-negative values (about 0.8 % resolution),
// constant memory, percentiles in O(buckets).
class Histogram {
 public:
  Histogram();
  void Add(uint64_t v);
  void Reset();
  uint64_t count() const { return count_; }
  uint64_t min() const { return min_; }
  uint64_t max() const { return max_; }
  double mean() const { return count_ ? sum_ / static_cast<double>(count_) : 0.0; }
  double stddev() const;
  // q in [0, 1]; 0 when empty.
  uint64_t Percentile(double q) const;

 private:
  static size_t Bucket(uint64_t v);
  static uint64_t BucketValue(size_t b);
  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0, min_ = 0, max_ = 0;
  double sum_ = 0, sum_sq_ = 0;
};

class FrameStats {
 public:
  void Reset();
  void OnFrame() { ++frames_; }
  void OnLost() { ++lost_; }
  void OnMalformed() { ++malformed_; }
  void OnIgnored() { ++ignored_; }
  // Arrival of a process-data frame; cycle_ns 0 = unknown.
  void OnProcessData(uint64_t t_ns, uint64_t cycle_ns, double late_threshold);
  // Master phase relative to the reference board's SYNC0 grid, in [0, cycle).
  void OnDcPhase(uint64_t phase_ns, uint64_t cycle_ns);
  void OnReplyLatency(uint64_t ns) { reply_.Add(ns); }
  // Gap between two processing passes of the program serving the socket.
  void OnPassGap(uint64_t ns) { stall_max_ = ns > stall_max_ ? ns : stall_max_; }
  std::string Report() const;

 private:
  uint64_t frames_ = 0, lost_ = 0, malformed_ = 0, ignored_ = 0, pd_frames_ = 0;
  uint64_t late_ = 0, missing_ = 0;
  uint64_t last_pd_ = 0;
  uint64_t cycle_ = 0;
  Histogram period_;
  // DC phase, unwrapped around the first sample so that a distribution
  // straddling the cycle boundary stays in one piece.
  Histogram phase_;
  uint64_t phase_cycle_ = 0;
  int64_t phase_ref_ = -1;
  Histogram reply_;
  uint64_t stall_max_ = 0;
};

}  // namespace dcusim

#include "simulator/frame_stats.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace dcusim {

namespace {
constexpr int kSubBits = 7;                 // 128 sub-buckets per power of two
constexpr size_t kBuckets = (64 - kSubBits + 1) << kSubBits;
}  // namespace

Histogram::Histogram() : buckets_(kBuckets, 0) {}

size_t Histogram::Bucket(uint64_t v) {
  if (v < (1u << kSubBits)) return static_cast<size_t>(v);
  const int msb = 63 - __builtin_clzll(v);
  const int shift = msb - kSubBits;
  const size_t sub = static_cast<size_t>((v >> shift) & ((1u << kSubBits) - 1));
  return (static_cast<size_t>(shift + 1) << kSubBits) + sub;
}

uint64_t Histogram::BucketValue(size_t b) {
  if (b < (1u << kSubBits)) return b;
  const int shift = static_cast<int>(b >> kSubBits) - 1;
  const uint64_t sub = b & ((1u << kSubBits) - 1);
  const uint64_t lo = ((uint64_t{1} << kSubBits) | sub) << shift;
  return lo + ((uint64_t{1} << shift) >> 1);  // middle of the bucket
}

void Histogram::Add(uint64_t v) {
  ++buckets_[Bucket(v)];
  if (count_ == 0 || v < min_) min_ = v;
  if (count_ == 0 || v > max_) max_ = v;
  ++count_;
  sum_ += static_cast<double>(v);
  sum_sq_ += static_cast<double>(v) * static_cast<double>(v);
}

void Histogram::Reset() {
  std::fill(buckets_.begin(), buckets_.end(), 0);
  count_ = min_ = max_ = 0;
  sum_ = sum_sq_ = 0;
}

double Histogram::stddev() const {
  if (count_ < 2) return 0;
  const double m = mean();
  const double var = sum_sq_ / static_cast<double>(count_) - m * m;
  return var > 0 ? std::sqrt(var) : 0;
}

uint64_t Histogram::Percentile(double q) const {
  if (count_ == 0) return 0;
  const uint64_t rank = std::min<uint64_t>(count_, static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_))));
  uint64_t seen = 0;
  for (size_t b = 0; b < buckets_.size(); ++b) {
    seen += buckets_[b];
    if (seen >= std::max<uint64_t>(rank, 1)) return std::clamp(BucketValue(b), min_, max_);
  }
  return max_;
}

void FrameStats::Reset() {
  // In place: the histograms keep their memory (no allocation while frames wait).
  frames_ = lost_ = malformed_ = ignored_ = pd_frames_ = 0;
  late_ = missing_ = last_pd_ = cycle_ = 0;
  period_.Reset();
  phase_.Reset();
  phase_cycle_ = 0;
  phase_ref_ = -1;
  reply_.Reset();
  stall_max_ = 0;
}

void FrameStats::OnProcessData(uint64_t t, uint64_t cycle_ns, double late_threshold) {
  ++pd_frames_;
  if (cycle_ns) cycle_ = cycle_ns;
  if (last_pd_ != 0 && t >= last_pd_) {
    const uint64_t period = t - last_pd_;
    period_.Add(period);
    if (cycle_ns) {
      const double c = static_cast<double>(cycle_ns);
      if (static_cast<double>(period) > c * (1.0 + late_threshold)) ++late_;
      const uint64_t cycles = (period + cycle_ns / 2) / cycle_ns;
      if (cycles > 1) missing_ += cycles - 1;
    }
  }
  last_pd_ = t;
}

void FrameStats::OnDcPhase(uint64_t phase_ns, uint64_t cycle_ns) {
  if (cycle_ns == 0) return;
  if (cycle_ns != phase_cycle_) {
    phase_.Reset();
    phase_cycle_ = cycle_ns;
    phase_ref_ = -1;
  }
  const int64_t c = static_cast<int64_t>(cycle_ns);
  int64_t v = static_cast<int64_t>(phase_ns % cycle_ns);
  if (phase_ref_ < 0) phase_ref_ = v;
  while (v - phase_ref_ > c / 2) v -= c;
  while (phase_ref_ - v > c / 2) v += c;
  phase_.Add(static_cast<uint64_t>(v + c));  // stored shifted by one cycle: never negative
}

std::string FrameStats::Report() const {
  std::ostringstream o;
  o << "frames=" << frames_ << "\n";
  o << "frames_lost=" << lost_ << "\n";
  o << "frames_malformed=" << malformed_ << "\n";
  o << "frames_ignored=" << ignored_ << "\n";
  o << "pd_frames=" << pd_frames_ << "\n";
  o << "cycle_ns=" << cycle_ << "\n";
  o << "period_count=" << period_.count() << "\n";
  o << "period_min=" << period_.min() << "\n";
  o << "period_mean=" << static_cast<uint64_t>(std::llround(period_.mean())) << "\n";
  o << "period_std=" << static_cast<uint64_t>(std::llround(period_.stddev())) << "\n";
  o << "period_p50=" << period_.Percentile(0.5) << "\n";
  o << "period_p99=" << period_.Percentile(0.99) << "\n";
  o << "period_p999=" << period_.Percentile(0.999) << "\n";
  o << "period_max=" << period_.max() << "\n";
  o << "late=" << late_ << "\n";
  o << "missing=" << missing_ << "\n";
  const bool dc = phase_.count() > 0;
  o << "dc=" << (dc ? 1 : 0) << "\n";
  if (dc) {
    const int64_t c = static_cast<int64_t>(phase_cycle_);
    const double mean = phase_.mean() - static_cast<double>(c);
    // Shift every figure by the same whole number of cycles so the mean
    // lies in [0, cycle).
    const int64_t k = static_cast<int64_t>(std::floor(mean / static_cast<double>(c)));
    const int64_t shift = c + k * c;
    auto rel = [&](uint64_t stored) { return static_cast<int64_t>(stored) - shift; };
    o << "dc_cycle_ns=" << c << "\n";
    o << "dc_phase_count=" << phase_.count() << "\n";
    o << "dc_phase_mean=" << std::llround(mean - static_cast<double>(k * c)) << "\n";
    o << "dc_phase_std=" << std::llround(phase_.stddev()) << "\n";
    o << "dc_phase_min=" << rel(phase_.min()) << "\n";
    o << "dc_phase_p001=" << rel(phase_.Percentile(0.001)) << "\n";
    o << "dc_phase_p50=" << rel(phase_.Percentile(0.5)) << "\n";
    o << "dc_phase_p999=" << rel(phase_.Percentile(0.999)) << "\n";
    o << "dc_phase_max=" << rel(phase_.max()) << "\n";
  }
  o << "reply_count=" << reply_.count() << "\n";
  o << "reply_mean=" << static_cast<uint64_t>(std::llround(reply_.mean())) << "\n";
  o << "reply_p99=" << reply_.Percentile(0.99) << "\n";
  o << "reply_max=" << reply_.max() << "\n";
  o << "sim_stall_max=" << stall_max_;
  return o.str();
}

}  // namespace dcusim

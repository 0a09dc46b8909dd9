#include "ethercat_manager/bus_recorder.h"

#include <cmath>
#include <ctime>
#include <utility>

#include "base/clock.h"
#include "ethercat.h"

namespace ethercat_manager {

namespace {

int64_t NowNs() { return zorvik_clock::MonotonicNs(); }

template <typename T>
T Load(const std::atomic<T>& value) {
  return value.load(std::memory_order_relaxed);
}

template <typename T>
void Store(std::atomic<T>& value, T v) {
  value.store(v, std::memory_order_relaxed);
}

// Upper edge of the bin that holds the q-quantile of the counts.
double Quantile(const std::vector<uint64_t>& bins, uint64_t total, double q, double bin_ns) {
  if (total == 0) return 0;
  const double wanted = q * static_cast<double>(total);
  uint64_t seen = 0;
  for (size_t i = 0; i < bins.size(); ++i) {
    seen += bins[i];
    if (static_cast<double>(seen) >= wanted) return static_cast<double>(i + 1) * bin_ns;
  }
  return static_cast<double>(bins.size()) * bin_ns;
}

}  // namespace

void BusRecorder::BeginBringUp(const EthercatConfig& config) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bring_up_ = BusFigures{};
    bring_up_.bring_up_started = true;
    bring_up_.ifname = config.ifname;
    bring_up_.cycle_time_ns = config.cycle_time_ns;
    bring_up_.enable_dc = config.enable_dc;
    begin_ns_ = NowNs();
    bring_up_.bring_up_monotonic_ns = begin_ns_;
  }
  // The cycle thread does not run during the bring-up.
  const int64_t cycle = static_cast<int64_t>(config.cycle_time_ns);
  Store(cycle_ns_, cycle);
  Store(dc_shift_ns_, cycle / 2 - 20000);
  Store(dc_on_, config.enable_dc);
  Store<uint64_t>(frames_, 0);
  Store<uint64_t>(short_frames_, 0);
  Store<uint64_t>(short_runs_, 0);
  Store<uint64_t>(single_runs_, 0);
  Store<uint64_t>(run_length_, 0);
  Store<int64_t>(last_cycle_ns_, 0);
  Store<int64_t>(period_max_ns_, 0);
  for (auto& bin : period_bins_) Store<uint64_t>(bin, 0);
  Store<uint64_t>(dc_count_, 0);
  Store(dc_mean_, 0.0);
  Store(dc_m2_, 0.0);
}

void BusRecorder::RecordSlaves() {
  std::vector<SlaveFigures> slaves;
  for (int pos = 1; pos <= ec_slavecount; ++pos) {
    const ec_slavet& s = ec_slave[pos];
    SlaveFigures f;
    f.position = pos;
    f.name = s.name;
    f.vendor_id = s.eep_man;
    f.product_code = s.eep_id;
    f.revision = s.eep_rev;
    f.state = s.state;
    f.al_status_code = s.ALstatuscode;
    if (s.state != EC_STATE_OPERATIONAL) f.al_status_text = ec_ALstatuscode2string(s.ALstatuscode);
    f.output_bytes = s.Obytes;
    f.input_bytes = s.Ibytes;
    slaves.push_back(std::move(f));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  bring_up_.slaves_found = ec_slavecount;
  bring_up_.slaves = std::move(slaves);
}

void BusRecorder::RecordMapping(int process_data_bytes, int32_t expected_wkc) {
  std::lock_guard<std::mutex> lock(mutex_);
  bring_up_.process_data_bytes = process_data_bytes;
  bring_up_.expected_wkc = expected_wkc;
}

void BusRecorder::RecordCounters(std::vector<CounterReading> before, std::vector<CounterReading> at_discovery) {
  std::lock_guard<std::mutex> lock(mutex_);
  bring_up_.counters_before_discovery = std::move(before);
  bring_up_.counters_at_discovery = std::move(at_discovery);
}

void BusRecorder::RecordOperational() {
  RecordSlaves();
  std::lock_guard<std::mutex> lock(mutex_);
  bring_up_.reached_op = true;
  bring_up_.start_to_op_ms = static_cast<double>(NowNs() - begin_ns_) / 1e6;
}

void BusRecorder::RecordFirstProcessData() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bring_up_.first_process_data_ms < 0) bring_up_.first_process_data_ms = static_cast<double>(NowNs() - begin_ns_) / 1e6;
}

void BusRecorder::OnCycle(int wkc, int32_t expected_wkc, int64_t dc_time_ns) {
  const int64_t now = NowNs();
  const int64_t cycle = Load(cycle_ns_);
  if (cycle <= 0) return;
  Store(frames_, Load(frames_) + 1);
  const bool short_frame = wkc < expected_wkc;
  if (short_frame) Store(short_frames_, Load(short_frames_) + 1);
  // A short frame after a complete one begins a run.
  if (short_frame) {
    if (Load(run_length_) == 0) Store(short_runs_, Load(short_runs_) + 1);
    Store(run_length_, Load(run_length_) + 1);
  } else {
    if (Load(run_length_) == 1) Store(single_runs_, Load(single_runs_) + 1);
    Store(run_length_, uint64_t{0});
  }

  const int64_t last = Load(last_cycle_ns_);
  Store(last_cycle_ns_, now);
  if (last != 0) {
    const int64_t period = now - last;
    if (period > Load(period_max_ns_)) Store(period_max_ns_, period);
    int64_t bin = period <= 0 ? 0 : (period >= 4 * cycle ? kPeriodBins - 1 : period * kBinsPerCycle / cycle);
    if (bin >= kPeriodBins) bin = kPeriodBins - 1;
    std::atomic<uint64_t>& slot = period_bins_[static_cast<size_t>(bin)];
    Store(slot, Load(slot) + 1);
  }

  // The phase error the DC controller works on, folded into half a cycle
  // each side; only frames that came back carry a fresh DC time.
  if (Load(dc_on_) && wkc > 0) {
    int64_t delta = (dc_time_ns - Load(dc_shift_ns_)) % cycle;
    if (delta > cycle / 2) delta -= cycle;
    if (delta < -cycle / 2) delta += cycle;
    const uint64_t n = Load(dc_count_) + 1;
    const double x = static_cast<double>(delta);
    const double mean = Load(dc_mean_);
    const double next_mean = mean + (x - mean) / static_cast<double>(n);
    Store(dc_m2_, Load(dc_m2_) + (x - mean) * (x - next_mean));
    Store(dc_mean_, next_mean);
    Store(dc_count_, n);
  }
}

double BusRecorder::OffsetMs() const { return static_cast<double>(NowNs() - begin_ns_) / 1e6; }

void BusRecorder::Event(const char* kind, const std::string& board, int position, uint16_t state) {
  SupervisionEvent e;
  e.kind = kind;
  e.board = board;
  e.position = position;
  e.state = state;
  // The supervision thread that reports the event is the one that reads
  // the slaves' states, status codes included.
  if (position >= 1 && position <= ec_slavecount) e.al_status_code = ec_slave[position].ALstatuscode;
  Append(std::move(e));
}

void BusRecorder::LinkEvent(const char* kind, int32_t wkc, int32_t expected_wkc) {
  SupervisionEvent e;
  e.kind = kind;
  e.wkc = wkc;
  e.expected_wkc = expected_wkc;
  Append(std::move(e));
}

void BusRecorder::Append(SupervisionEvent e) {
  std::lock_guard<std::mutex> lock(mutex_);
  e.offset_ms = OffsetMs();
  bring_up_.supervision.push_back(std::move(e));
}

BusFigures BusRecorder::Snapshot() const {
  BusFigures f;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    f = bring_up_;
  }
  const int64_t cycle = Load(cycle_ns_);
  f.frames = Load(frames_);
  f.short_wkc_frames = Load(short_frames_);
  f.short_wkc_runs = Load(short_runs_);
  // A run of one frame still in progress counts as one.
  f.short_wkc_single_runs = Load(single_runs_) + (Load(run_length_) == 1 ? 1 : 0);
  f.period_bin_ns = static_cast<double>(cycle) / kBinsPerCycle;
  f.period_histogram.resize(kPeriodBins);
  uint64_t total = 0;
  for (int i = 0; i < kPeriodBins; ++i) {
    f.period_histogram[static_cast<size_t>(i)] = Load(period_bins_[static_cast<size_t>(i)]);
    total += f.period_histogram[static_cast<size_t>(i)];
  }
  f.periods = total;
  f.period_max_ns = Load(period_max_ns_);
  f.period_p50_ns = Quantile(f.period_histogram, total, 0.50, f.period_bin_ns);
  f.period_p99_ns = Quantile(f.period_histogram, total, 0.99, f.period_bin_ns);
  // The last bin is open-ended: its quantile is the largest period seen.
  if (f.period_p50_ns > 4.0 * static_cast<double>(cycle) - f.period_bin_ns) f.period_p50_ns = static_cast<double>(f.period_max_ns);
  if (f.period_p99_ns > 4.0 * static_cast<double>(cycle) - f.period_bin_ns) f.period_p99_ns = static_cast<double>(f.period_max_ns);
  f.dc_samples = Load(dc_count_);
  f.dc_phase_mean_ns = Load(dc_mean_);
  f.dc_phase_std_ns = f.dc_samples > 1 ? std::sqrt(Load(dc_m2_) / static_cast<double>(f.dc_samples - 1)) : 0.0;
  return f;
}

}  // namespace ethercat_manager

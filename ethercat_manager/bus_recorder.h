// Figures of one bus run for the self-test reports: what the bring-up found,
// how the cycle thread kept time, and what the supervision thread did.
//
// The cycle thread feeds OnCycle once per cycle: counters and a fixed
// histogram held in atomics that only this thread writes, so the call takes
// no lock, allocates nothing and prints nothing. The supervision thread and
// the bring-up take a mutex for their (rare) records. Snapshot() may be
// called from any thread at any time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ethercat_manager/ethercat_node.h"

namespace ethercat_manager {

// One slave as the bring-up saw it; identity from its SII.
struct SlaveFigures {
  int position = 0;
  std::string name;
  uint32_t vendor_id = 0;
  uint32_t product_code = 0;
  uint32_t revision = 0;
  uint16_t state = 0;            // AL state, error bit included
  uint16_t al_status_code = 0;
  std::string al_status_text;    // filled when the slave is not in OP
  uint32_t output_bytes = 0;
  uint32_t input_bytes = 0;
};

// A slave controller's error counters as read from it: registers
// 0x0300..0x0313 (RX and invalid frames per port, forwarded errors,
// processing-unit and PDI errors, lost links) and the SM watchdog counter
// 0x0442. The self-tests decode them as the bus survey does.
constexpr int kErrorCounterBytes = 20;
struct CounterReading {
  int position = 0;
  std::array<uint8_t, kErrorCounterBytes> errors{};
  uint8_t sm_watchdog = 0;
};

// Something the supervision thread reported, in the order it happened.
struct SupervisionEvent {
  double offset_ms = 0;  // since the bring-up began
  std::string kind;      // e.g. "acknowledge", "lost", "link_lost"
  std::string board;     // empty for events of the whole link
  int position = 0;
  uint16_t state = 0;    // the slave's state when reported
  int32_t wkc = 0;       // for "short_wkc"
  int32_t expected_wkc = 0;
  uint16_t al_status_code = 0;  // a board's AL status code as last read
};

// Cycle-period histogram: kPeriodBins bins of width cycle / kBinsPerCycle,
// covering 0 to 4 cycles; longer periods land in the last bin.
constexpr int kBinsPerCycle = 128;
constexpr int kPeriodBins = 4 * kBinsPerCycle;

struct BusFigures {
  // Bring-up.
  bool bring_up_started = false;
  std::string ifname;
  uint64_t cycle_time_ns = 0;
  bool enable_dc = false;
  int slaves_found = 0;
  std::vector<SlaveFigures> slaves;
  int process_data_bytes = 0;
  int32_t expected_wkc = 0;
  bool reached_op = false;
  double start_to_op_ms = 0;
  // When the first process-data frame was sent, since the bring-up began
  // (-1: none was); a replay of the run counts its times from there.
  double first_process_data_ms = -1;
  // CLOCK_MONOTONIC at the start of the bring-up, to place other times of
  // the run on the same scale as the offsets above.
  int64_t bring_up_monotonic_ns = 0;
  // The slaves' error counters as discovery found them (what the run
  // before left; read by position) and right after discovery cleared them
  // (the baseline of this run; by station address). A slave that did not
  // answer the read is left out.
  std::vector<CounterReading> counters_before_discovery;
  std::vector<CounterReading> counters_at_discovery;

  // Cycle thread.
  uint64_t frames = 0;
  uint64_t short_wkc_frames = 0;
  // Runs of consecutive short frames: a stall of this computer or of the
  // slaves loses frames in one run, a damaged line loses them one by one.
  uint64_t short_wkc_runs = 0;
  // Of those runs, the ones of a single frame.
  uint64_t short_wkc_single_runs = 0;
  uint64_t periods = 0;
  double period_bin_ns = 0;
  std::vector<uint64_t> period_histogram;  // kPeriodBins counts
  int64_t period_max_ns = 0;
  double period_p50_ns = 0;  // upper edge of the bin holding the quantile
  double period_p99_ns = 0;
  uint64_t dc_samples = 0;
  double dc_phase_mean_ns = 0;
  double dc_phase_std_ns = 0;

  std::vector<SupervisionEvent> supervision;
};

class BusRecorder {
 public:
  // Bring-up, called from the starting thread. BeginBringUp also clears
  // the figures of an earlier start.
  void BeginBringUp(const EthercatConfig& config);
  // Reads every slave's identity, state and sizes from the master's records.
  void RecordSlaves();
  void RecordMapping(int process_data_bytes, int32_t expected_wkc);
  void RecordCounters(std::vector<CounterReading> before, std::vector<CounterReading> at_discovery);
  void RecordOperational();
  // Right before the first process-data frame of the bring-up is sent.
  void RecordFirstProcessData();

  // Cycle thread, once per cycle right after the frame came back.
  void OnCycle(int wkc, int32_t expected_wkc, int64_t dc_time_ns);

  // Supervision thread, one call next to each message it prints.
  void Event(const char* kind, const std::string& board, int position, uint16_t state);
  void LinkEvent(const char* kind, int32_t wkc, int32_t expected_wkc);

  BusFigures Snapshot() const;

 private:
  double OffsetMs() const;
  // Stamps e with its offset and files it, under the lock.
  void Append(SupervisionEvent e);

  mutable std::mutex mutex_;  // guards everything below up to the atomics
  BusFigures bring_up_;       // bring-up part and supervision events
  int64_t begin_ns_ = 0;

  // Written by the cycle thread only (relaxed load and store, no
  // read-modify-write), read by Snapshot.
  std::atomic<int64_t> cycle_ns_{0};
  std::atomic<int64_t> dc_shift_ns_{0};
  std::atomic<bool> dc_on_{false};
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> short_frames_{0};
  std::atomic<uint64_t> short_runs_{0};
  std::atomic<uint64_t> single_runs_{0};
  std::atomic<uint64_t> run_length_{0};  // of the run in progress, 0 for none
  std::atomic<int64_t> last_cycle_ns_{0};
  std::atomic<int64_t> period_max_ns_{0};
  std::array<std::atomic<uint64_t>, kPeriodBins> period_bins_{};
  std::atomic<uint64_t> dc_count_{0};
  std::atomic<double> dc_mean_{0};
  std::atomic<double> dc_m2_{0};
};

}  // namespace ethercat_manager

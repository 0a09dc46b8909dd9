// The bus manager's cycle thread: the process-data exchange with the nodes,
// locked to the distributed clock.
#include "ethercat_manager/ethercat_manager.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
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

namespace {

// What a slave adds to the working counter of the process-data exchange
// when it answers: 2 for its outputs written, 1 for its inputs read.
int32_t CounterShare(const ec_slavet& slave) {
  return (slave.Obytes > 0 ? 2 : 0) + (slave.Ibytes > 0 ? 1 : 0);
}

}  // namespace

void EthercatManager::ExchangeWithNodes(int wkc, uint64_t frame) {
  // Which boards answered: every one when the counter is complete. When it
  // is short while boards are reported outside OP, and it lacks no more than
  // their shares, the boards in OP answered. Otherwise nobody can tell who
  // did not, and no board counts as having answered this frame.
  int32_t outside_share = 0;
  for (const auto& entry : nodes_) {
    if (!entry.second->reported_op_.load()) outside_share += CounterShare(ec_slave[entry.first]);
  }
  const bool all_answered = wkc >= expected_wkc_;
  const bool others_answered = outside_share > 0 && wkc > 0 && wkc >= expected_wkc_ - outside_share;
  const int64_t now_ns = MonotonicNowNs();
  for (const auto& entry : nodes_) {
    EthercatNode& node = *entry.second;
    const bool in_op = node.reported_op_.load();
    if (all_answered || (others_answered && in_op)) {
      const ec_slavet& slave = ec_slave[entry.first];
      node.PushRecvData(slave.inputs, static_cast<uint16_t>(slave.Ibytes));
      node.answered_frame_.store(frame);
    }
    // Silent for sure: no reply at all, or one the boards in OP account for.
    if (wkc > 0 && !(others_answered && !in_op)) {
      node.heard_ns_.store(now_ns);
      node.heard_frame_.store(frame);
    }
    node.latest_frame_.store(frame);
    node.OnDataSyncHook();
  }
}

void EthercatManager::WorkLoop() {
  ZORVIK_LOG_DEBUG("Workloop is running now...");
  (void)zorvik_utils::SetRealTimeThread(pthread_self(), "ecat_io_loop", config_.rt_priority, config_.bind_cpu);

  const int64_t cycle_ns = static_cast<int64_t>(config_.cycle_time_ns);
  const bool enable_dc = config_.enable_dc;
  // The master cycle settles this far behind the DC cycle boundary.
  const int32_t dc_shift_ns = static_cast<int32_t>(cycle_ns / 2 - 20000);
  int64_t next_wake_ns = MonotonicNowNs();
  // The frame in flight when the loop begins (the bring-up's, or the DC
  // alignment's) carries no output a node wrote since.
  ++frame_seq_;
  for (const auto& entry : nodes_) entry.second->outputs_frame_.store(frame_seq_);

  if (enable_dc) {
    // Align once to the DC grid. The regular send is used on purpose: its
    // frames are those of the overlap send, but the reply lands where the
    // legacy mapping placed the image instead of behind the inputs. The
    // wait for the grid is shorter than one cycle and a frame is on its way
    // during it (the loop's first receive takes its reply), so the slaves'
    // SM watchdogs see outputs every cycle whatever the cycle time.
    ec_send_processdata();
    ec_receive_processdata(kFrameTimeoutUs);
    const uint64_t phase = static_cast<uint64_t>(ec_DCtime) % static_cast<uint64_t>(cycle_ns);
    next_wake_ns += cycle_ns - static_cast<int64_t>(phase);
    ec_send_processdata();
    SleepWhileRunning(next_wake_ns);
  }

  int64_t dc_correction_ns = 0;
  dc_integral_ = 0;
  while (running_.load()) {
    const int wkc = ec_receive_processdata(kFrameTimeoutUs);
    wkc_.store(wkc, std::memory_order_relaxed);
    recorder_.OnCycle(wkc, expected_wkc_, static_cast<int64_t>(ec_DCtime));
    ExchangeWithNodes(wkc, frame_seq_);
    ++frame_seq_;
    for (const auto& entry : nodes_) {
      const ec_slavet& slave = ec_slave[entry.first];
      entry.second->outputs_frame_.store(frame_seq_);
      entry.second->PullSendData(slave.outputs, static_cast<uint16_t>(slave.Obytes));
    }
    ec_send_processdata();

    // A register read asked for by another thread, between this cycle's
    // frame and the next.
    ServeRegisterRead();

    if (enable_dc) {
      next_wake_ns += cycle_ns + dc_correction_ns;
      SleepWhileRunning(next_wake_ns);
      dc_correction_ns = CalcDcPiSync(ec_DCtime, cycle_ns, dc_shift_ns, &dc_integral_);
    } else {
      next_wake_ns += cycle_ns;
      SleepWhileRunning(next_wake_ns);
    }
    next_wake_ns = SkipMissedCycles(next_wake_ns, MonotonicNowNs(), cycle_ns);
  }
}

void EthercatManager::SleepWhileRunning(int64_t target_ns) {
  for (;;) {
    const int64_t now_ns = MonotonicNowNs();
    if (now_ns >= target_ns || !running_.load(std::memory_order_relaxed)) return;
    SleepUntilNs(std::min(target_ns, now_ns + kStopSliceNs));
  }
}

int64_t SkipMissedCycles(int64_t wake_ns, int64_t now_ns, int64_t cycle_ns) {
  if (cycle_ns <= 0 || now_ns - wake_ns < cycle_ns) return wake_ns;
  return wake_ns + (now_ns - wake_ns) / cycle_ns * cycle_ns;
}

int64_t CalcDcPiSync(int64_t reftime, int64_t cycletime, int64_t shifttime, int64_t* integral) {
  // A cycle of 0 has no phase; Start never runs the loop with it.
  if (cycletime <= 0) return 0;

  int32_t kp = 0;
  int32_t kp_shift = 0;
  int32_t ki = 0;
  int32_t ki_shift = 0;
  DoubleToFixed(0.05, &kp, &kp_shift);
  DoubleToFixed(0.01, &ki, &ki_shift);

  int64_t delta = (reftime - shifttime) % cycletime;
  if (delta > cycletime / 2) delta -= cycletime;
  *integral += static_cast<int64_t>(ki) * delta;
  // Right shifts of negative values floor toward minus infinity here.
  return -((static_cast<int64_t>(kp) * delta) >> kp_shift) - (*integral >> ki_shift);
}

int64_t CalcDcPiSync(int64_t reftime, int64_t cycletime, int64_t shifttime) {
  static int64_t iTerm = 0;
  return CalcDcPiSync(reftime, cycletime, shifttime, &iTerm);
}

void DoubleToFixed(double value, int32_t* mantissa, int32_t* shift) {
  for (int32_t s = 15; s >= 0; --s) {
    const double bound = static_cast<double>(1 << (15 - s));
    if (value < bound) {
      const double scaled = value * static_cast<double>(1 << s);
      // Only large negative values leave the 32-bit range; they saturate.
      *mantissa = scaled < static_cast<double>(INT32_MIN) ? INT32_MIN : static_cast<int32_t>(scaled);
      *shift = s;
      return;
    }
  }
}

}  // namespace ethercat_manager

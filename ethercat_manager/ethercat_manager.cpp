// EtherCAT bus manager: bring-up, cyclic exchange, link supervision, shutdown.
#include "ethercat_manager/ethercat_manager.h"
#include "ethercat_manager/chain_diagnosis.h"
#include "ethercat_manager/nic_diagnosis.h"

#include <pthread.h>

#include <cerrno>
#include <algorithm>
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


namespace ethercat_manager {

namespace {

// Timeouts handed to the master, in microseconds.
constexpr int kStateTimeoutUs = 8000000;    // PRE_OP and SAFE_OP during bring-up
constexpr int kOpCheckTimeoutUs = 5000;     // one OP check of the bring-up wait
constexpr int kOpWaitUs = 10000000;         // the whole OP wait of the bring-up
constexpr int kStopCheckTimeoutUs = 50000;  // INIT check when stopping
constexpr int kFrameTimeoutUs = 2000;       // one process-data frame
constexpr int kRecheckTimeoutUs = 2000;     // re-check of a silent slave
constexpr int kRepairTimeoutUs = 500;       // reconfiguration and recovery datagrams
constexpr int kRegisterTimeoutUs = 2000;    // one register read of the supervision
// Reads of a slave's counters before its silence counts (a reply late past
// its timeout on a busy computer is no answer).
constexpr int kCounterReadTries = 3;
// Longest wait for a counter read served by the cycle thread.
constexpr int64_t kCounterReadWaitNs = 500LL * 1000 * 1000;
// Longest single wait of the bring-up between two looks at an abort request.
constexpr int kAbortSliceUs = 100000;

// Discovery attempts.
constexpr int kDiscoveryAttempts = 3;
// INIT requests of a stop before giving up on slaves that do not get there.
constexpr int kInitAttempts = 3;
// Consecutive failing supervision passes after which the link counts as lost.
constexpr int32_t kLinkLostPasses = 10;

constexpr int64_t kNsPerSec = 1000000000LL;
constexpr int64_t kMsToNs = 1000000LL;
// Largest SYNC0 period the slaves accept (32-bit register).
constexpr uint64_t kMaxCycleTimeNs = 4294967295ULL;
// Longest sleep of the bus threads between two looks at running_, so that
// Stop ends them promptly whatever the cycle time.
constexpr int64_t kStopSliceNs = 10 * kMsToNs;

// Slave controller registers read by the manager.
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr uint16_t kRegWatchdogDivider = 0x0400;
constexpr uint16_t kRegSmWatchdogTime = 0x0420;
constexpr uint16_t kRegDlStatus = 0x0110;
constexpr uint16_t kRegStationAddress = 0x0010;
constexpr uint16_t kRegErrorCounters = 0x0300;
constexpr uint16_t kRegSmWatchdogCounter = 0x0442;
// DL status, low byte: physical link on port 1 (the port towards the next board).
constexpr uint8_t kDlStatusLinkPort1 = 0x20;
// AL status bits that carry the state and the error indication.
constexpr uint16_t kAlStateMask = 0x001F;
// SM watchdog of a slave whose registers cannot be read (the usual reset
// values: divider 2498, i.e. 100 us, times 1000).
constexpr uint64_t kDefaultWatchdogNs = 100 * 1000 * 1000ULL;

int64_t MonotonicNowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// Sleeps until the monotonic clock reaches target_ns; returns at once when
// the target has passed. A signal does not cut the sleep short.
void SleepUntilNs(int64_t target_ns) {
  if (target_ns <= 0) return;
  timespec ts;
  ts.tv_sec = static_cast<time_t>(target_ns / kNsPerSec);
  ts.tv_nsec = static_cast<long>(target_ns % kNsPerSec);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void SleepForNs(int64_t duration_ns) {
  if (duration_ns <= 0) return;
  SleepUntilNs(MonotonicNowNs() + duration_ns);
}

// Offsets in the counter registers 0x0300..0x0313.
constexpr int kInvalidFrames = 0;   // + 2 * port
constexpr int kRxErrors = 1;        // + 2 * port
constexpr int kProcessingUnit = 12;
constexpr int kPdi = 13;
constexpr int kLostLinks = 16;      // + port
constexpr int kCounterPorts = 4;

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

// Reads the counters by station address (or by position address), with the
// given reply timeout. Allocates nothing: the cycle thread serves reads too.
bool ReadCountersWith(bool by_station, uint16_t address, CounterReading* out, int timeout_us = EC_TIMEOUTRET3) {
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

}  // namespace

EthercatManager::EthercatManager() : io_map_{} {}

EthercatManager::~EthercatManager() {
  Stop();
  nodes_.clear();
}

void EthercatManager::RegisterNode(EthercatNode* node) {
  if (node == nullptr) {
    ZORVIK_LOG_ERROR("Slave node not registered: null node.");
    return;
  }
  // Position 0 addresses every slave at once, in the master's state
  // operations and in the state reports to nodes: no node may sit there.
  if (node->id_ <= 0) {
    ZORVIK_LOG_ERROR("Slave node '%s' not registered: bus position %d, positions start at 1.", node->GetName().c_str(),
              node->id_);
    return;
  }
  nodes_[node->id_] = node;
}

void EthercatManager::UnregisterNode(EthercatNode* node) {
  if (node == nullptr) return;
  const auto it = nodes_.find(node->id_);
  if (it != nodes_.end() && it->second == node) nodes_.erase(it);
}

bool EthercatManager::Start(EthercatConfig config) {
  if (running_.load()) {
    ZORVIK_LOG_WARN("EtherCAT is running already.");
    return true;
  }

  config_ = std::move(config);

  ZORVIK_LOG_DEBUG("EthercatManager ifname: %s, cycle_time: %" PRIu64 ", enable_dc: %d", config_.ifname.c_str(),
            config_.cycle_time_ns, config_.enable_dc ? 1 : 0);

  // The cycle divides by its period, and SYNC0 takes it as a 32-bit value.
  if (config_.cycle_time_ns == 0 || config_.cycle_time_ns > kMaxCycleTimeNs) {
    ZORVIK_LOG_ERROR("Invalid cycle_time %" PRIu64 " ns, it must be 1 to %" PRIu64 " ns.", config_.cycle_time_ns,
              kMaxCycleTimeNs);
    return false;
  }

  if (nodes_.empty()) {
    ZORVIK_LOG_ERROR("No slave nodes registered.");
    return false;
  }

  const bool up = InitMaster();
  // A bring-up that failed or was aborted leaves no slave in the states it
  // walked them to.
  if (!up && nic_open_ && ec_slavecount > 0) ReturnToInit();
  // An abort request ends one bring-up only.
  abort_requested_.store(false);
  if (!up) return false;

  running_.exchange(true);
  work_thread_ = std::thread(&EthercatManager::WorkLoop, this);
  error_thread_ = std::thread(&EthercatManager::ErrorHandler, this);

  SleepForNs(100 * kMsToNs);
  ZORVIK_LOG_DEBUG("EthercatManager is running now.");
  return true;
}

// Bring-up: open the interface, find and match the slaves, PRE_OP, map the
// process data, distributed clocks, SAFE_OP, then OP with frames flowing.
bool EthercatManager::InitMaster() {
  recorder_.BeginBringUp(config_);
  passes_frames_.clear();
  last_ambiguity_.clear();
  if (!OpenInterface()) return false;
  if (!DiscoverSlaves()) return false;
  if (!CycleFitsWatchdog()) return false;
  if (!WalkRegisteredTo(EC_STATE_PRE_OP, "EC_STATE_PRE_OP", PRE_OP)) return false;
  if (!MapProcessData()) return false;
  ConfigureDistributedClocks();
  ZORVIK_LOG_DEBUG("transfer all slaves to SAFE_OP.");
  if (!WalkRegisteredTo(EC_STATE_SAFE_OP, "EC_STATE_SAFE_OP", SAFE_OP)) return false;
  ZORVIK_LOG_DEBUG("Request operational state for all slaves");
  if (!RequestOperational()) return false;
  ZORVIK_LOG_INFO("Operational state reached for all slaves.");
  recorder_.RecordOperational();
  UpdateSlaveState(OP, 0);
  return true;
}

bool EthercatManager::OpenInterface() {
  const char* ifname = config_.ifname.c_str();
  // A restart opens the interface anew; the socket of the previous start
  // would otherwise stay open and keep receiving copies of every frame.
  if (nic_open_) {
    ec_close();
    nic_open_ = false;
  }

  if (ec_init(ifname) == 0) {
    ZORVIK_LOG_ERROR("No socket connection on %s, Execute as root.", ifname);
    const std::string cause = DiagnoseInterface(config_.ifname);
    if (!cause.empty()) ZORVIK_LOG_ERROR("%s", cause.c_str());
    return false;
  }
  nic_open_ = true;
  ZORVIK_LOG_INFO("EtherCAT init on %s succeeded.", ifname);
  return true;
}

bool EthercatManager::DiscoverSlaves() {
  // What the boards counted before this start (discovery clears part of it).
  std::vector<CounterReading> before = ReadCountersByPosition();
  for (int attempt = 0; attempt < kDiscoveryAttempts; ++attempt) {
    if (ec_config_init(FALSE) > 0) break;
    if (BringUpAborted()) return false;
    SleepForNs(100 * kMsToNs);
  }
  if (BringUpAborted()) return false;
  if (ec_slavecount < 1) {
    ZORVIK_LOG_ERROR("No slaves found!");
    const std::string cause = DiagnoseSilentInterface(config_.ifname);
    if (!cause.empty()) ZORVIK_LOG_ERROR("%s", cause.c_str());
    ec_close();
    nic_open_ = false;
    return false;
  }
  // The baseline of this run: every error counted from here on, during the
  // rest of the bring-up too, is the run's.
  recorder_.RecordCounters(std::move(before), ReadCountersByStation());
  ZORVIK_LOG_INFO("%d slaves found and configured", ec_slavecount);
  recorder_.RecordSlaves();

  for (const auto& entry : nodes_) {
    const int32_t pos = entry.first;
    EthercatNode* node = entry.second;
    if (pos > ec_slavecount) {
      ZORVIK_LOG_ERROR("Can`t find Registered slave node %s (%d).", node->GetName().c_str(), pos);
      DiagnoseMissingPositions();
      return false;
    }
    ec_slave[pos].PO2SOconfig = node->GetPreOpConfigFunc();
  }
  ZORVIK_LOG_DEBUG("All %lu registered slaves matched, Enter Pre-OP state", static_cast<unsigned long>(nodes_.size()));
  return true;
}

// The position that is missing need not be the faulty board: say which
// boards may be, from the registered names and the last slave's port 1.
void EthercatManager::DiagnoseMissingPositions() {
  uint8_t dl_status[2] = {0, 0};
  const int last = ec_slavecount;
  const bool read = ec_FPRD(ec_slave[last].configadr, kRegDlStatus, sizeof dl_status, dl_status, EC_TIMEOUTRET) > 0;
  const bool port1_link = read && (dl_status[0] & kDlStatusLinkPort1) != 0;
  std::vector<ConfiguredBoard> boards;
  for (const auto& entry : nodes_) boards.push_back({entry.first, entry.second->GetName()});
  const std::string text = DiagnoseShortChain(last, port1_link, std::move(boards));
  if (!text.empty()) ZORVIK_LOG_ERROR("%s", text.c_str());
}

bool EthercatManager::WalkRegisteredTo(uint16_t state, const char* state_text, int32_t node_state) {
  for (const auto& entry : nodes_) {
    const int32_t pos = entry.first;
    const uint16_t reached = AwaitState(static_cast<uint16_t>(pos), state, kStateTimeoutUs);
    if (BringUpAborted()) return false;
    if (reached != state) {
      ReportLineDuringBringUp(0, 0);
      ZORVIK_LOG_ERROR("Slave %s (%d) set %s failed.", entry.second->GetName().c_str(), pos, state_text);
      recorder_.RecordSlaves();
      return false;
    }
  }
  SleepForNs(100 * kMsToNs);
  UpdateSlaveState(node_state, 0);
  return true;
}

bool EthercatManager::MapProcessData() {
  const int size = ec_config_map(io_map_);
  if (size > kIoMapSize) {
    ZORVIK_LOG_ERROR("PDO data buf too small ! current %d need %d", kIoMapSize, size);
    // A slave that no node owns still maps its process data: name it.
    for (int pos = 1; pos <= ec_slavecount; ++pos) {
      if (nodes_.count(pos) != 0) continue;
      ZORVIK_LOG_ERROR("Slave %d (%s) is on the bus but no enabled DCU record has ecat_id %d; its %u output "
                       "and %u input bytes take room in the process image too.",
                       pos, ec_slave[pos].name, pos, static_cast<unsigned>(ec_slave[pos].Obytes),
                       static_cast<unsigned>(ec_slave[pos].Ibytes));
    }
    return false;
  }

  if (!InitSlaveNodes()) {
    ZORVIK_LOG_ERROR("InitSlaveNodes failed");
    return false;
  }

  int excluded = 0;
  for (int pos = 1; pos <= ec_slavecount; ++pos) {
    if (nodes_.find(pos) == nodes_.end()) {
      ZORVIK_LOG_INFO("Slaves %d unregistered, excluded.", pos);
      ++excluded;
    }
  }
  excluded_slaves_ = excluded;

  expected_wkc_ = 2 * ec_group[0].outputsWKC + ec_group[0].inputsWKC - 2 * excluded;
  ZORVIK_LOG_INFO("Slaves mapped, Process Data IO size: %d, expected_wkc %d", size, expected_wkc_);
  recorder_.RecordMapping(size, expected_wkc_);
  return true;
}

void EthercatManager::ConfigureDistributedClocks() {
  if (config_.enable_dc) {
    (void)ec_configdc();
    for (int pos = 1; pos <= ec_slavecount; ++pos) {
      ec_dcsync0(static_cast<uint16>(pos), TRUE, static_cast<uint32>(config_.cycle_time_ns), 0);
    }
    ZORVIK_LOG_INFO("EtherCAT DC clock enabled.");
  } else {
    ZORVIK_LOG_INFO("EtherCAT DC clock disabled.");
  }
}

bool EthercatManager::RequestOperational() {
  // Frames whose working counter fell short while the slaves walk to OP
  // (in SAFE_OP the slaves already count the whole frame).
  uint64_t frames = 0;
  uint64_t short_frames = 0;
  auto exchange = [&] {
    ec_send_processdata();
    const int wkc = ec_receive_processdata(kFrameTimeoutUs);
    ++frames;
    if (wkc < expected_wkc_) ++short_frames;
  };
  recorder_.RecordFirstProcessData();
  exchange();
  for (const auto& entry : nodes_) {
    ec_slave[entry.first].state = EC_STATE_OPERATIONAL;
    ec_writestate(static_cast<uint16>(entry.first));
  }

  // The cycle thread does not run yet: keep frames going while the slaves
  // walk to OP (a slave in OP whose outputs stop for its SM watchdog time
  // drops back to SAFE_OP with an error, so each check is short), for
  // kOpWaitUs however many slaves there are.
  const int64_t deadline_ns = MonotonicNowNs() + int64_t{kOpWaitUs} * 1000;
  int64_t asked_ns = MonotonicNowNs();
  bool all_op = false;
  while (!all_op && MonotonicNowNs() < deadline_ns) {
    if (BringUpAborted()) return false;
    exchange();
    all_op = true;
    const bool ask_again = MonotonicNowNs() - asked_ns >= int64_t{kAbortSliceUs} * 1000;
    if (ask_again) asked_ns = MonotonicNowNs();
    for (const auto& entry : nodes_) {
      const uint16 pos = static_cast<uint16>(entry.first);
      if (ec_statecheck(pos, EC_STATE_OPERATIONAL, kOpCheckTimeoutUs) == EC_STATE_OPERATIONAL) continue;
      all_op = false;
      // The request is one datagram: when its frame was lost the slave
      // still waits in SAFE_OP. Ask again now and then; a slave that
      // refused (error bit set) is left alone.
      if (ask_again && (ec_slave[pos].state & EC_STATE_ERROR) == 0) {
        ec_slave[pos].state = EC_STATE_OPERATIONAL;
        ec_writestate(pos);
      }
    }
  }
  if (all_op) return true;

  ReportLineDuringBringUp(short_frames, frames);
  ZORVIK_LOG_ERROR("Not all slaves reached operational state.");
  ec_readstate();
  recorder_.RecordSlaves();
  for (const auto& entry : nodes_) {
    const ec_slavet& slave = ec_slave[entry.first];
    if (slave.state != EC_STATE_OPERATIONAL) {
      ZORVIK_LOG_ERROR("Slave %s (%d) State=0x%2.2x StatusCode=0x%4.4x : %s", entry.second->GetName().c_str(),
                entry.first, static_cast<unsigned>(slave.state), static_cast<unsigned>(slave.ALstatuscode),
                ec_ALstatuscode2string(slave.ALstatuscode));
    }
  }
  return false;
}

bool EthercatManager::InitSlaveNodes() {
  for (const auto& entry : nodes_) {
    const ec_slavet& slave = ec_slave[entry.first];
    EthercatNode* node = entry.second;
    node->name_ = slave.name;
    node->send_size_ = static_cast<uint16_t>(slave.Obytes);
    node->recv_size_ = static_cast<uint16_t>(slave.Ibytes);
    if (!node->Init()) {
      // The node's own line names its packet type; name the node and the
      // slave found at its position, so that a wrong position can be found.
      ZORVIK_LOG_ERROR("Slave node %s (%d) does not fit the slave found there: %s with %u output and %u input "
                       "bytes. Check its ecat_id, or run dcu_businfo.",
                       node->GetName().c_str(), entry.first, slave.name, static_cast<unsigned>(slave.Obytes),
                       static_cast<unsigned>(slave.Ibytes));
      return false;
    }
  }
  return true;
}

void EthercatManager::UpdateSlaveState(int32_t state, int32_t position) {
  const NodeState new_state = static_cast<NodeState>(state);
  auto report = [new_state](EthercatNode* node) {
    if (node->state_ == new_state) return;
    node->OnStateChangeHook(new_state);
    node->state_ = new_state;
    node->reported_op_.store(new_state == OP);
  };
  if (position == 0) {
    for (const auto& entry : nodes_) report(entry.second);
    return;
  }
  const auto it = nodes_.find(position);
  if (it != nodes_.end()) report(it->second);
}

void EthercatManager::Stop() {
  if (!running_.exchange(false)) return;
  if (work_thread_.joinable()) work_thread_.join();
  if (error_thread_.joinable()) error_thread_.join();

  ReturnToInit();
  ZORVIK_LOG_DEBUG("EthercatManager is stopped.");
}

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

    // A counter read asked for by another thread, between this cycle's
    // frame and the next.
    const int32_t asked = counter_request_.exchange(0, std::memory_order_acq_rel);
    if (asked > 0) {
      const bool read = ReadCountersWith(true, ec_slave[asked].configadr, &counter_reading_, kRegisterTimeoutUs);
      counter_answer_.store(read ? 1 : -1, std::memory_order_release);
    }

    if (enable_dc) {
      next_wake_ns += cycle_ns + dc_correction_ns;
      SleepWhileRunning(next_wake_ns);
      dc_correction_ns = CalcDcPiSync(ec_DCtime, cycle_ns, dc_shift_ns);
    } else {
      next_wake_ns += cycle_ns;
      SleepWhileRunning(next_wake_ns);
    }
  }
}

void EthercatManager::ErrorHandler() {
  ZORVIK_LOG_DEBUG("ErrorHandler is running now...");
  (void)pthread_setname_np(pthread_self(), "ecat_er_loop");

  // Let the cycle thread exchange frames before the first look.
  const int64_t initial_wait_ns = 20 * static_cast<int64_t>(config_.cycle_time_ns);
  if (initial_wait_ns > 0) SleepWhileRunning(MonotonicNowNs() + initial_wait_ns);

  while (running_.load()) {
    SleepWhileRunning(MonotonicNowNs() + 100 * kMsToNs);
    if (!running_.load()) break;
    int32_t wkc = wkc_.load(std::memory_order_relaxed);
    int32_t expected = expected_wkc_;

    // Slaves that nobody registered may add to the counter (outputs counted
    // in SAFE_OP): a counter at or above the expected value is a whole link.
    if (link_lost_) {
      if (wkc < expected) continue;
      ZORVIK_LOG_WARN("Ecat link resmed.");
      recorder_.LinkEvent("resumed", wkc, expected);
      link_lost_ = false;
      lost_count_ = 0;
      silent_passes_ = 0;
      wkc = wkc_.load(std::memory_order_relaxed);
      expected = expected_wkc_;
    }

    // A complete counter does not mean every board is in OP: slave
    // controllers count output writes in SAFE_OP too. A registered board
    // outside OP makes this a checking pass.
    if (wkc >= expected && !ec_group[0].docheckstate && AllRegisteredInOp()) {
      lost_count_ = 0;
      silent_passes_ = 0;
      continue;
    }

    ZORVIK_LOG_WARN("wkc < expected_wkc , wkc: %d, expected_wkc: %d", wkc, expected);
    recorder_.LinkEvent("short_wkc", wkc, expected);
    const int answered = CheckRegisteredSlaves();
    if (!running_.load()) break;
    if (!ec_group[0].docheckstate) {
      ZORVIK_LOG_INFO("OK : all slaves resumed OPERATIONAL.");
      recorder_.LinkEvent("all_operational", wkc, expected);
    }

    // The link counts as lost only when no registered slave answers; while
    // some do, every pass goes on checking and repairing them.
    ++lost_count_;
    silent_passes_ = answered == 0 ? silent_passes_ + 1 : 0;
    if (silent_passes_ >= kLinkLostPasses) {
      ZORVIK_LOG_ERROR("Ecat link lost.");
      recorder_.LinkEvent("link_lost", wkc, expected);
      link_lost_ = true;
    }
  }
}

int EthercatManager::CheckRegisteredSlaves() {
  ec_group[0].docheckstate = FALSE;
  ec_readstate();

  // Registered slaves that answered the state read in this pass.
  int answered = 0;
  for (const auto& entry : nodes_) {
    if (!running_.load()) break;
    const int32_t pos = entry.first;
    ec_slavet& slave = ec_slave[pos];
    if (slave.state != EC_STATE_NONE) ++answered;
    if (slave.group == 0 && slave.state != EC_STATE_OPERATIONAL) {
      ec_group[0].docheckstate = TRUE;
      RepairOutsideOp(pos, *entry.second);
    }
    if (slave.islost) FindLostSlave(pos, *entry.second);
    UpdateSlaveState(slave.state, pos);
  }
  return answered;
}

void EthercatManager::RepairOutsideOp(int32_t pos, EthercatNode& node) {
  const uint16 slave_pos = static_cast<uint16>(pos);
  ec_slavet& slave = ec_slave[pos];
  const std::string name = node.GetName();
  if (slave.state == EC_STATE_SAFE_OP + EC_STATE_ERROR) {
    ZORVIK_LOG_ERROR("ERROR : node %s (%d) is in SAFE_OP + ERROR, attempting ack.", name.c_str(), pos);
    recorder_.Event("acknowledge", name, pos, slave.state);
    slave.state = static_cast<uint16>(EC_STATE_SAFE_OP + EC_STATE_ACK);
    ec_writestate(slave_pos);
  } else if (slave.state == EC_STATE_SAFE_OP) {
    ZORVIK_LOG_ERROR("ERROR : node %s (%d) is in SAFE_OP, change to OPERATIONAL.", name.c_str(), pos);
    recorder_.Event("request_op", name, pos, slave.state);
    slave.state = EC_STATE_OPERATIONAL;
    ec_writestate(slave_pos);
  } else if (slave.state == EC_STATE_NONE) {
    if (!slave.islost) {
      ZORVIK_LOG_WARN("WARN : node %s (%d) re-check state. current state: 0x%04X", name.c_str(), pos,
               static_cast<unsigned>(slave.state));
      recorder_.Event("recheck", name, pos, slave.state);
      ec_statecheck(slave_pos, EC_STATE_OPERATIONAL, kRecheckTimeoutUs);
      if (slave.state == EC_STATE_NONE) {
        slave.islost = TRUE;
        ZORVIK_LOG_ERROR("ERROR : node %s (%d) lost. current state: 0x%04X", name.c_str(), pos,
                  static_cast<unsigned>(slave.state));
        recorder_.Event("lost", name, pos, slave.state);
        NoteLoss(pos);
      }
    }
  } else {
    ZORVIK_LOG_WARN("MESSAGE : node %s (%d)  reconfigured. current state: 0x%04X", name.c_str(), pos,
             static_cast<unsigned>(slave.state));
    recorder_.Event("reconfigure", name, pos, slave.state);
    if (ec_reconfig_slave(slave_pos, kRepairTimeoutUs)) {
      slave.islost = FALSE;
      ZORVIK_LOG_WARN("MESSAGE : node %s (%d) reconfigured done. current state: 0x%04X", name.c_str(), pos,
               static_cast<unsigned>(slave.state));
      recorder_.Event("reconfigured", name, pos, slave.state);
    }
  }
}

void EthercatManager::FindLostSlave(int32_t pos, EthercatNode& node) {
  ec_slavet& slave = ec_slave[pos];
  const std::string name = node.GetName();
  ZORVIK_LOG_ERROR("WARN : node %s (%d) lost. current state: 0x%04X", name.c_str(), pos,
            static_cast<unsigned>(slave.state));
  recorder_.Event("still_lost", name, pos, slave.state);
  if (slave.state == EC_STATE_NONE) {
    // The master gives the first board without a station address it finds
    // at the slave's position, or as many positions earlier as slaves ahead
    // are lost, the slave's address. Look there first: that board may as
    // well be another lost slave.
    const uint16_t station = slave.configadr;
    int found = 0;
    bool at_home = false;
    auto probe = [&](int position) {
      uint8_t address[2] = {0, 0};
      const int wkc = ec_APRD(static_cast<uint16>(1 - position), kRegStationAddress, sizeof address, address,
                              kRepairTimeoutUs);
      if (wkc <= 0) return false;
      const uint16_t value = static_cast<uint16_t>(address[0] | (address[1] << 8));
      if (value == station) at_home = true;
      if (value == 0) found = position;
      return value == station || value == 0;
    };
    if (!probe(pos)) {
      int lost_ahead = 0;
      for (int p = 1; p < pos; ++p) lost_ahead += ec_slave[p].islost ? 1 : 0;
      if (lost_ahead > 0) probe(pos - lost_ahead);
    }
    const bool may = at_home || (found > 0 && MayRecoverAt(pos, found));
    if (may && ec_recover_slave(static_cast<uint16>(pos), kRepairTimeoutUs)) {
      slave.islost = FALSE;
      passes_frames_.erase(pos);
      ZORVIK_LOG_WARN("MESSAGE : node %s (%d) recovered", name.c_str(), pos);
      recorder_.Event("recovered", name, pos, slave.state);
    }
  } else {
    slave.islost = FALSE;
    passes_frames_.erase(pos);
    ZORVIK_LOG_WARN("MESSAGE : node %s (%d) found. current state: 0x%04X", name.c_str(), pos,
             static_cast<unsigned>(slave.state));
    recorder_.Event("found", name, pos, slave.state);
  }
}

void EthercatManager::NoteLoss(int32_t pos) {
  uint8_t address[2] = {0, 0};
  if (ec_APRD(static_cast<uint16>(1 - pos), kRegStationAddress, sizeof address, address, kRepairTimeoutUs) <= 0) {
    return;
  }
  const uint16_t value = static_cast<uint16_t>(address[0] | (address[1] << 8));
  // A later slave answers at this position: as many slaves up to it pass
  // frames without answering as it moved forward. Those known ahead of this
  // one account for part of it; the rest is this one when no slave between
  // it and the one that answers is lost as well.
  for (int later = pos + 1; later <= ec_slavecount; ++later) {
    if (ec_slave[later].configadr != value) continue;
    int known_ahead = 0;
    for (const auto& entry : passes_frames_) known_ahead += entry.first < pos && entry.second ? 1 : 0;
    bool between_lost = false;
    for (int p = pos + 1; p < later; ++p) between_lost = between_lost || ec_slave[p].islost;
    if (later - pos > known_ahead && !between_lost) passes_frames_[pos] = true;
    return;
  }
}

bool EthercatManager::MayRecoverAt(int32_t pos, int found) {
  std::vector<LostSlave> lost;
  for (const auto& entry : nodes_) {
    if (!ec_slave[entry.first].islost) continue;
    const auto known = passes_frames_.find(entry.first);
    lost.push_back({entry.first, known != passes_frames_.end() && known->second});
  }
  uint8_t data[2] = {0, 0};
  const int answering = ec_BRD(0x0000, kRegAlStatus, sizeof data, data, kRepairTimeoutUs);
  // Without the count nothing tells the slaves apart: wait for the next pass.
  if (answering <= 0) return false;
  const std::vector<int> candidates = RecoveryCandidates(lost, found, answering, ec_slavecount);
  if (candidates.size() == 1) return candidates[0] == pos;
  if (std::find(candidates.begin(), candidates.end(), pos) == candidates.end()) return false;
  std::string names;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const auto it = nodes_.find(candidates[i]);
    const std::string name = it != nodes_.end() ? it->second->GetName() : "slave";
    names += (i == 0 ? "" : (i + 1 == candidates.size() ? " or " : ", ")) + name + " (" +
             std::to_string(candidates[i]) + ")";
  }
  const std::string text = "A board without its station address answers at position " + std::to_string(found) +
                           "; it may be " + names +
                           ", which cannot be told apart: none of them is recovered, and their checks fail.";
  if (text != last_ambiguity_) {
    last_ambiguity_ = text;
    ZORVIK_LOG_ERROR("%s", text.c_str());
    recorder_.Event("ambiguous", "", found, 0);
  }
  return false;
}

std::vector<int> RecoveryCandidates(const std::vector<LostSlave>& lost, int found, int answering, int configured) {
  const int silent = std::max(0, configured - answering);
  int known = 0;
  for (const LostSlave& s : lost) known += s.passes_frames ? 1 : 0;
  std::vector<int> candidates;
  for (const LostSlave& s : lost) {
    int known_ahead = 0;
    int lost_ahead = 0;
    for (const LostSlave& other : lost) {
      if (other.position >= s.position) continue;
      ++lost_ahead;
      known_ahead += other.passes_frames ? 1 : 0;
    }
    if (known == silent) {
      // Every slave that does not answer is known: the positions are exact.
      if (!s.passes_frames && s.position - known_ahead == found) candidates.push_back(s.position);
      continue;
    }
    // Otherwise any of the lost slaves ahead (no more than are silent) may
    // have moved this one forward.
    const int shift = s.position - found;
    if (shift >= 0 && shift <= std::min(silent, lost_ahead)) candidates.push_back(s.position);
  }
  std::sort(candidates.begin(), candidates.end());
  return candidates;
}

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
  // Hand the read to the cycle thread and wait for its answer; a request it
  // has not taken when the bus stops or the wait ends is taken back.
  counter_answer_.store(0);
  counter_request_.store(position, std::memory_order_release);
  const int64_t end_ns = MonotonicNowNs() + kCounterReadWaitNs;
  for (;;) {
    const int answer = counter_answer_.load(std::memory_order_acquire);
    if (answer != 0) {
      if (answer < 0) return false;
      out->errors = counter_reading_.errors;
      out->sm_watchdog = counter_reading_.sm_watchdog;
      return true;
    }
    const bool give_up = !running_.load() || MonotonicNowNs() >= end_ns;
    // Not taken yet: take it back. Taken: its datagrams time out soon.
    if (give_up && counter_request_.exchange(0) == position) return false;
    SleepForNs(kMsToNs / 4);
  }
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

void EthercatManager::ReportLineDuringBringUp(uint64_t short_frames, uint64_t frames) {
  const BusFigures figures = recorder_.Snapshot();
  std::string boards;
  for (const CounterReading& now : ReadCountersByStation()) {
    for (const CounterReading& before : figures.counters_at_discovery) {
      if (before.position != now.position) continue;
      const std::string rise = DescribeOwnRise(before, now);
      if (rise.empty()) continue;
      const auto it = nodes_.find(now.position);
      const std::string name = it != nodes_.end() ? it->second->GetName() : "slave";
      boards += (boards.empty() ? "" : "; ") + name + " (" + std::to_string(now.position) + ") counted " + rise;
    }
  }
  if (short_frames == 0 && boards.empty()) return;
  std::string what;
  if (short_frames > 0) {
    what = std::to_string(short_frames) + " of " + std::to_string(frames) +
           " frames came back without every board's answer";
  }
  if (!boards.empty()) what += (what.empty() ? "" : "; ") + boards;
  ZORVIK_LOG_ERROR("The EtherCAT line dropped frames during the start-up (%s): check the cables and connectors "
                   "(dcu_businfo --watch shows the errors per port).",
                   what.c_str());
}

void EthercatManager::ReturnToInit() {
  for (int attempt = 0; attempt < kInitAttempts; ++attempt) {
    ec_slave[0].state = EC_STATE_INIT;
    ec_writestate(0);
    if (ec_statecheck(0, EC_STATE_INIT, kStopCheckTimeoutUs) == EC_STATE_INIT) return;
  }
}

void EthercatManager::RequestAbort() { abort_requested_.store(true); }

bool EthercatManager::LinkLost() const { return link_lost_.load(); }

bool EthercatManager::AllRegisteredInOp() {
  // Only a state read back from a board makes the pass a checking one. A
  // read that got no reply in time has learnt nothing: the complete counter
  // says the boards answer, and the next pass asks again. (On a loaded
  // computer a late reply would otherwise start a checking pass, and its
  // state read, late as well, would declare a healthy board lost.)
  //
  // The OR of every slave's AL status; the counter is the number of slaves
  // that answered.
  uint8_t data[2] = {0, 0};
  const int answered = ec_BRD(0x0000, kRegAlStatus, sizeof data, data, kRegisterTimeoutUs);
  if (answered <= 0) return true;
  const uint16_t all = static_cast<uint16_t>((data[0] | (data[1] << 8)) & kAlStateMask);
  if (answered >= ec_slavecount) {
    if (all == EC_STATE_OPERATIONAL) return true;
    // Every slave is registered: one of them is outside OP.
    if (excluded_slaves_ == 0) return false;
  }
  // Unregistered slaves outside OP (or a slave missing from the reply): ask
  // each registered slave.
  for (const auto& entry : nodes_) {
    uint8_t status[2] = {0, 0};
    const int wkc =
        ec_FPRD(ec_slave[entry.first].configadr, kRegAlStatus, sizeof status, status, kRegisterTimeoutUs);
    if (wkc <= 0) continue;
    if (((status[0] | (status[1] << 8)) & kAlStateMask) != EC_STATE_OPERATIONAL) return false;
  }
  return true;
}

bool EthercatManager::CycleFitsWatchdog() {
  for (const auto& entry : nodes_) {
    const uint16 station = ec_slave[entry.first].configadr;
    uint8_t divider[2] = {0, 0};
    uint8_t time[2] = {0, 0};
    uint64_t watchdog_ns = kDefaultWatchdogNs;
    if (ec_FPRD(station, kRegWatchdogDivider, sizeof divider, divider, kRegisterTimeoutUs) > 0 &&
        ec_FPRD(station, kRegSmWatchdogTime, sizeof time, time, kRegisterTimeoutUs) > 0) {
      const uint64_t ticks = static_cast<uint64_t>(divider[0] | (divider[1] << 8)) + 2;
      watchdog_ns = ticks * 40 * static_cast<uint64_t>(time[0] | (time[1] << 8));
    }
    // A watchdog time of 0 switches the watchdog off.
    if (watchdog_ns != 0 && config_.cycle_time_ns >= watchdog_ns) {
      ZORVIK_LOG_ERROR("cycle_time %" PRIu64 " ns is not below the SM watchdog time %" PRIu64
                       " ns of slave node %s (%d): its outputs would time out between two cycles.",
                       config_.cycle_time_ns, watchdog_ns, entry.second->GetName().c_str(), entry.first);
      return false;
    }
  }
  return true;
}

uint16_t EthercatManager::AwaitState(uint16_t position, uint16_t state, int timeout_us) {
  const int64_t end_ns = MonotonicNowNs() + static_cast<int64_t>(timeout_us) * 1000;
  for (;;) {
    const int64_t left_us = (end_ns - MonotonicNowNs()) / 1000;
    const int slice_us = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left_us, kAbortSliceUs)));
    const uint16_t reached = ec_statecheck(position, state, slice_us);
    if (reached == state || slice_us == 0 || abort_requested_.load()) return reached;
    // The request is one datagram; when its frame was lost the board still
    // waits in the state before. Asking again is harmless, and a board that
    // refused (error bit set) is left alone.
    if ((ec_slave[position].state & EC_STATE_ERROR) == 0) {
      ec_slave[position].state = state;
      ec_writestate(position);
    }
  }
}

bool EthercatManager::BringUpAborted() {
  if (!abort_requested_.load()) return false;
  ZORVIK_LOG_WARN("EtherCAT start-up aborted.");
  return true;
}

void EthercatManager::SleepWhileRunning(int64_t target_ns) {
  for (;;) {
    const int64_t now_ns = MonotonicNowNs();
    if (now_ns >= target_ns || !running_.load(std::memory_order_relaxed)) return;
    SleepUntilNs(std::min(target_ns, now_ns + kStopSliceNs));
  }
}

int64_t CalcDcPiSync(int64_t reftime, int64_t cycletime, int64_t shifttime) {
  static int64_t iTerm = 0;
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
  iTerm += static_cast<int64_t>(ki) * delta;
  // Right shifts of negative values floor toward minus infinity here.
  return -((static_cast<int64_t>(kp) * delta) >> kp_shift) - (iTerm >> ki_shift);
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

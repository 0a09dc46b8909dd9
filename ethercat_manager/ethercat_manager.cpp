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
#include <utility>

#include "base/comm_utils.h"
#include "base/log.h"
#include "ethercat.h"


namespace ethercat_manager {

namespace {

// Timeouts handed to the master, in microseconds.
constexpr int kStateTimeoutUs = 8000000;    // PRE_OP and SAFE_OP during bring-up
constexpr int kOpCheckTimeoutUs = 50000;    // one OP check of the bring-up wait
constexpr int kStopCheckTimeoutUs = 50000;  // INIT check when stopping
constexpr int kFrameTimeoutUs = 2000;       // one process-data frame
constexpr int kRecheckTimeoutUs = 2000;     // re-check of a silent slave
constexpr int kRepairTimeoutUs = 500;       // reconfiguration and recovery datagrams
constexpr int kRegisterTimeoutUs = 2000;    // one register read of the supervision
// Longest single wait of the bring-up between two looks at an abort request.
constexpr int kAbortSliceUs = 100000;

// Passes of the OP wait during bring-up.
constexpr int kOpWaitPasses = 200;
// Discovery attempts.
constexpr int kDiscoveryAttempts = 3;
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
  recorder_.RecordFirstProcessData();
  ec_send_processdata();
  ec_receive_processdata(kFrameTimeoutUs);
  for (const auto& entry : nodes_) {
    ec_slave[entry.first].state = EC_STATE_OPERATIONAL;
    ec_writestate(static_cast<uint16>(entry.first));
  }

  // The cycle thread does not run yet: keep frames going while the slaves
  // walk to OP, up to kOpWaitPasses passes.
  bool all_op = false;
  for (int pass = 0; pass < kOpWaitPasses && !all_op; ++pass) {
    if (BringUpAborted()) return false;
    ec_send_processdata();
    ec_receive_processdata(kFrameTimeoutUs);
    all_op = true;
    for (const auto& entry : nodes_) {
      if (ec_statecheck(static_cast<uint16>(entry.first), EC_STATE_OPERATIONAL, kOpCheckTimeoutUs) !=
          EC_STATE_OPERATIONAL) {
        all_op = false;
      }
    }
  }
  if (all_op) return true;

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

  ec_slave[0].state = EC_STATE_INIT;
  ec_writestate(0);
  ec_statecheck(0, EC_STATE_INIT, kStopCheckTimeoutUs);
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
    if (ec_recover_slave(static_cast<uint16>(pos), kRepairTimeoutUs)) {
      slave.islost = FALSE;
      ZORVIK_LOG_WARN("MESSAGE : node %s (%d) recovered", name.c_str(), pos);
      recorder_.Event("recovered", name, pos, slave.state);
    }
  } else {
    slave.islost = FALSE;
    ZORVIK_LOG_WARN("MESSAGE : node %s (%d) found. current state: 0x%04X", name.c_str(), pos,
             static_cast<unsigned>(slave.state));
    recorder_.Event("found", name, pos, slave.state);
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

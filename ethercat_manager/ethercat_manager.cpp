// EtherCAT bus manager: registration, bring-up and shutdown.
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
  if (node->Id() <= 0) {
    ZORVIK_LOG_ERROR("Slave node '%s' not registered: bus position %d, positions start at 1.", node->GetName().c_str(),
              node->Id());
    return;
  }
  nodes_[node->Id()] = node;
}

void EthercatManager::UnregisterNode(EthercatNode* node) {
  if (node == nullptr) return;
  const auto it = nodes_.find(node->Id());
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

}  // namespace ethercat_manager

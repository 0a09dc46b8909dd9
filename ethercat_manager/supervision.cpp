// The bus manager's supervision thread: link checks, repair of slaves
// outside OP, loss and recovery of silent slaves.
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

}  // namespace ethercat_manager

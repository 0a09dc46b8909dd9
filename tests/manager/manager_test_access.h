// The one way tests reach inside the bus manager: single steps of the
// bring-up and the supervision, the registry and the settings a start took.
// Product code never includes this.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "ethercat_manager/ethercat_manager.h"

namespace ethercat_manager {

struct ManagerTestAccess {
  static const std::unordered_map<int32_t, EthercatNode*>& Nodes(const EthercatManager& m) { return m.nodes_; }
  static const EthercatConfig& Config(const EthercatManager& m) { return m.config_; }
  static bool Running(const EthercatManager& m) { return m.running_.load(); }
  // The working counter of the last frame the cycle thread received.
  static int32_t LastWkc(const EthercatManager& m) { return m.wkc_.load(); }
  static void UpdateSlaveState(EthercatManager& m, int32_t state, int32_t position) {
    m.UpdateSlaveState(state, position);
  }
};

}  // namespace ethercat_manager

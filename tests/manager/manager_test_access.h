// The one way tests reach inside the bus manager and its nodes: single steps
// of the bring-up and the supervision, the registry and settings a start
// took, and the node's record of frames for a stand-in of the cycle thread.
// Product code never includes this.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "ethercat_manager/ethercat_manager.h"
#include "ethercat_manager/ethercat_node.h"

namespace ethercat_manager {

struct ManagerTestAccess {
  // --- The manager ---------------------------------------------------------
  static const std::unordered_map<int32_t, EthercatNode*>& Nodes(const EthercatManager& m) { return m.nodes_; }
  static const EthercatConfig& Config(const EthercatManager& m) { return m.config_; }
  static bool Running(const EthercatManager& m) { return m.running_.load(); }
  // The working counter of the last frame the cycle thread received.
  static int32_t LastWkc(const EthercatManager& m) { return m.wkc_.load(); }
  static void UpdateSlaveState(EthercatManager& m, int32_t state, int32_t position) {
    m.UpdateSlaveState(state, position);
  }

  // --- A node, as the manager fills it in ----------------------------------
  static void SetMappedSizes(EthercatNode& n, uint16_t send_size, uint16_t recv_size) {
    n.send_size_ = send_size;
    n.recv_size_ = recv_size;
  }
  // Sets the state without calling the hook.
  static void SetState(EthercatNode& n, NodeState state) { n.state_ = state; }

  // The cycle thread's record of frames (see EthercatNode).
  static void SetOutputsFrame(EthercatNode& n, uint64_t frame) { n.outputs_frame_.store(frame); }
  static void SetAnsweredFrame(EthercatNode& n, uint64_t frame) { n.answered_frame_.store(frame); }
  static void SetHeard(EthercatNode& n, uint64_t frame, int64_t ns) {
    n.heard_frame_.store(frame);
    n.heard_ns_.store(ns);
  }
  static void SetLatestFrame(EthercatNode& n, uint64_t frame) { n.latest_frame_.store(frame); }
};

}  // namespace ethercat_manager

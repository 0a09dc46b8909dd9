// Node contract between the EtherCAT bus manager and the objects that stand
// for one slave each (the DCU node is the one concrete node).
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

namespace ethercat_manager {

// Application-layer state of a slave, as the master reports it. Combined
// values (a state with the error bit, e.g. 0x14) are passed through as they are.
enum NodeState : int32_t {
  NONE = 0x00,
  INIT = 0x01,
  PRE_OP = 0x02,
  BOOT = 0x03,
  SAFE_OP = 0x04,
  OP = 0x08,
  ACK_OR_ERROR = 0x10,
};

// Settings the bus manager is started with.
struct EthercatConfig {
  std::string ifname = "eth0";
  bool enable_dc = true;
  int32_t bind_cpu = -1;
  int32_t rt_priority = -1;
  uint64_t cycle_time_ns = 1000000;
};

// Slave configuration hook, called by the master while it maps process data
// (the form of the master's PO2SOconfig field).
using SlaveConfigFunc = int (*)(uint16_t slave);

class EthercatNode {
 public:
  explicit EthercatNode(int id) : id_(id) {}
  virtual ~EthercatNode() = default;

  EthercatNode(const EthercatNode&) = delete;
  EthercatNode& operator=(const EthercatNode&) = delete;

  // Called after mapping, once name_, send_size_ and recv_size_ are filled in.
  // A node whose buffers cannot hold the mapped sizes must return false.
  virtual bool Init() { return true; }
  // Runs on the cycle thread between the input copy and the output copy.
  virtual void OnDataSyncHook() {}
  // Runs before the new state is stored in state_.
  virtual void OnStateChangeHook(NodeState state) { (void)state; }
  virtual uint8_t* GetSendBuf() = 0;
  virtual uint8_t* GetRecvBuf() = 0;
  virtual SlaveConfigFunc GetPreOpConfigFunc() { return nullptr; }
  virtual std::string GetName() { return name_; }

  // Copies len bytes of the output buffer to dst under the send lock.
  virtual void PullSendData(uint8_t* dst, uint16_t len) {
    std::lock_guard<std::mutex> lock(send_mutex_);
    uint8_t* buf = GetSendBuf();
    if (len > 0) std::memmove(dst, buf, len);
  }
  // Copies len bytes from src into the input buffer under the receive lock.
  virtual void PushRecvData(const uint8_t* src, uint16_t len) {
    std::lock_guard<std::mutex> lock(recv_mutex_);
    uint8_t* buf = GetRecvBuf();
    if (len > 0) std::memmove(buf, src, len);
  }

  int id_;
  std::string name_;
  std::mutex send_mutex_;
  std::mutex recv_mutex_;
  uint16_t send_size_ = 0;
  uint16_t recv_size_ = 0;
  NodeState state_ = NONE;
};

}  // namespace ethercat_manager

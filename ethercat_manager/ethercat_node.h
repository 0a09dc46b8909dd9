// Node contract between the EtherCAT bus manager and the objects that stand
// for one slave each (the DCU node is the one concrete node).
#pragma once

#include <atomic>
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

// The manager fills in what it learns of the slave (its name, mapped sizes,
// state) and keeps the node's record of frames; a node reads them through
// the accessors below and writes none of them.
class EthercatNode {
 public:
  explicit EthercatNode(int id) : id_(id) {}
  virtual ~EthercatNode() = default;

  EthercatNode(const EthercatNode&) = delete;
  EthercatNode& operator=(const EthercatNode&) = delete;

  // Called after mapping, once SlaveName(), SendSize() and RecvSize() are
  // filled in. A node whose buffers cannot hold the mapped sizes must return
  // false.
  virtual bool Init() { return true; }
  // Runs on the cycle thread between the input copy and the output copy.
  virtual void OnDataSyncHook() {}
  // Runs before the new state is stored (State() still gives the old one).
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

  // Bus position the node is registered for.
  int Id() const { return id_; }
  // The state last reported to the node (NONE before the first report).
  // Callable from any thread.
  NodeState State() const { return state_.load(); }
  // Name and mapped sizes of the slave found at the node's position, as the
  // bring-up filled them in (empty and 0 before). Read them from the thread
  // that starts the bus, or while it is stopped.
  const std::string& SlaveName() const { return name_; }
  uint16_t SendSize() const { return send_size_; }
  uint16_t RecvSize() const { return recv_size_; }

 protected:
  // --- What the cycle thread knows of the node, every cycle ---------------
  // Frames are numbered in the order they are sent, across starts. The cycle
  // thread stores OutputsFrame() before it copies the outputs, so a command
  // written after a copy (under send_mutex_) reaches the board no earlier
  // than in frame OutputsFrame() + 1. It copies the inputs of a frame in
  // only when the board surely answered that frame, and then stores
  // AnsweredFrame(): the input buffer always holds the board's answer to that
  // frame. HeardFrame() and HeardNs() (monotonic time) are the last frame the
  // board may have answered (a short counter that does not tell who is
  // missing); LatestFrame() is the last frame whose reply (or absence of
  // one) the cycle thread has dealt with. All 0 before the first cycle.
  uint64_t OutputsFrame() const { return outputs_frame_.load(); }
  uint64_t AnsweredFrame() const { return answered_frame_.load(); }
  uint64_t HeardFrame() const { return heard_frame_.load(); }
  int64_t HeardNs() const { return heard_ns_.load(); }
  uint64_t LatestFrame() const { return latest_frame_.load(); }

  // Guard the output and the input buffer; the cycle thread holds each for
  // one copy.
  std::mutex send_mutex_;
  std::mutex recv_mutex_;

 private:
  // The manager alone writes what follows (and reads reported_op_).
  friend class EthercatManager;
  // Tests that stand in for the manager's threads.
  friend struct ManagerTestAccess;

  std::atomic<uint64_t> outputs_frame_{0};
  std::atomic<uint64_t> answered_frame_{0};
  std::atomic<uint64_t> heard_frame_{0};
  std::atomic<int64_t> heard_ns_{0};
  std::atomic<uint64_t> latest_frame_{0};
  // Whether the state last reported to the node is OP (a copy of state_ the
  // cycle thread may read).
  std::atomic<bool> reported_op_{false};

  const int id_;
  std::string name_;
  uint16_t send_size_ = 0;
  uint16_t recv_size_ = 0;
  std::atomic<NodeState> state_{NONE};
};

}  // namespace ethercat_manager

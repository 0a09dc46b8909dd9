// EtherCAT bus manager: brings the slaves of one network to OPERATIONAL,
// exchanges process data every cycle in step with the distributed clock and
// watches the link, repairing slaves that leave OPERATIONAL.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <string>
#include <unordered_map>
#include <vector>

#include "ethercat_manager/bus_recorder.h"
#include "ethercat_manager/ethercat_node.h"

namespace ethercat_manager {

// Size of the process image handed to the master's mapping.
constexpr int kIoMapSize = 4096;
// Most bytes one ReadSlaveRegisters call reads.
constexpr int kMaxRegisterRead = 32;

class EthercatManager {
 public:
  EthercatManager();
  virtual ~EthercatManager();

  EthercatManager(const EthercatManager&) = delete;
  EthercatManager& operator=(const EthercatManager&) = delete;

  // Files node under its bus position; a later node at the same position
  // replaces the earlier one.
  void RegisterNode(EthercatNode* node);
  // Removes node from the registry if it is filed there (its owner is about
  // to destroy it). Only while stopped.
  void UnregisterNode(EthercatNode* node);
  bool Start(EthercatConfig config);
  void Stop();
  // Ends the bring-up in progress, or the next one, at its next wait: Start
  // then returns false. Callable from any thread (e.g. a signal watcher).
  void RequestAbort();
  // True while the supervision holds the link for lost (no registered
  // slave answers). Callable from any thread.
  bool LinkLost() const;
  // Reads the error counters of the slave at a bus position by its station
  // address (a slave that stopped answering cannot be confused with the
  // board behind it). False when it did not answer. While the bus runs the
  // cycle thread serves the reads between two cycles (ReadSlaveRegisters).
  // From one thread at a time, e.g. the one that starts and stops the bus.
  bool ReadErrorCounters(int32_t position, CounterReading* out);

  // The working counter every registered slave answering a frame adds up
  // to, as the last bring-up mapped it (0 before). From the thread that
  // starts and stops the bus.
  int32_t ExpectedWkc() const { return expected_wkc_; }
  // A copy of the figures of the current or last start, for the self-test
  // reports. Callable from any thread.
  BusFigures Figures() const { return recorder_.Snapshot(); }

 private:
  // Tests that drive single steps or look at the registry and the settings.
  friend struct ManagerTestAccess;

  // The bring-up of Start, from opening the interface to OP with frames
  // flowing.
  bool InitMaster();
  // Hands each node the name and mapped sizes of its slave, then its Init.
  bool InitSlaveNodes();
  // Reports state to the node at position (0: to every node), unless it is
  // the state last reported to it.
  void UpdateSlaveState(int32_t state, int32_t position);

  // Thread bodies.
  void WorkLoop();
  // The cycle thread's part after a frame came back: copies the inputs of
  // the boards that answered it into their nodes and keeps each node's record
  // of frames (see EthercatNode).
  void ExchangeWithNodes(int wkc, uint64_t frame);
  void ErrorHandler();

  uint8_t io_map_[kIoMapSize];
  std::atomic<int32_t> wkc_{0};
  int32_t expected_wkc_ = 0;
  std::atomic<bool> link_lost_{false};
  int32_t lost_count_ = 0;
  // Consecutive checking passes in which no registered slave answered; the
  // link counts as lost after ten of them.
  int32_t silent_passes_ = 0;
  EthercatConfig config_;
  std::thread work_thread_;
  std::thread error_thread_;
  std::atomic<bool> running_{false};
  std::unordered_map<int32_t, EthercatNode*> nodes_;
  // Figures of the current or last start, for the self-test reports.
  BusRecorder recorder_;

  // Steps of InitMaster, in their order. Each prints why it failed.
  bool OpenInterface();
  bool DiscoverSlaves();
  void DiagnoseMissingPositions();
  // Waits for every registered slave to reach state (state_text names it in
  // the error line), then reports node_state to the nodes.
  bool WalkRegisteredTo(uint16_t state, const char* state_text, int32_t node_state);
  bool MapProcessData();
  void ConfigureDistributedClocks();
  bool RequestOperational();
  // One attempt of ReadErrorCounters.
  bool ReadErrorCountersOnce(int32_t position, CounterReading* out);
  // The counters of the slaves that answer at positions 1..n (by position
  // address, usable before discovery), and of the discovered slaves by their
  // station addresses.
  std::vector<CounterReading> ReadCountersByPosition();
  std::vector<CounterReading> ReadCountersByStation();
  // Before the lines that say which slave did not get where: when the line
  // lost frames or a slave counted line errors since discovery, one line
  // naming that as the cause.
  void ReportLineDuringBringUp(uint64_t short_frames, uint64_t frames);
  // Requests INIT from every slave and waits for it, asking again when the
  // request or its answer was lost. Stop and a failed or aborted bring-up
  // end with it.
  void ReturnToInit();

  // One checking pass of the supervision: reads every slave's state and
  // repairs the registered ones; returns how many of them answered.
  int CheckRegisteredSlaves();
  // Acknowledges, requests OP for, re-checks or reconfigures a slave outside
  // OP, by its state.
  void RepairOutsideOp(int32_t pos, EthercatNode& node);
  // Recovers a slave marked lost, or takes it back when it answers again.
  void FindLostSlave(int32_t pos, EthercatNode& node);
  // Called when a slave is marked lost: learns from the slave that now
  // answers at its position whether its controller stopped answering and
  // passes frames on (the boards behind it moved one position forward).
  void NoteLoss(int32_t pos);
  // Whether the board without a station address at position `found` may be
  // given to the lost slave at pos; names every lost slave it could be when
  // that is more than one.
  bool MayRecoverAt(int32_t pos, int found);

  // Whether every registered slave is in OP, learnt with one broadcast read
  // of the AL status (one read per registered slave when slaves nobody
  // registered sit outside OP). For the supervision's healthy passes.
  bool AllRegisteredInOp();
  // Refuses a cycle at or above the SM watchdog time of a registered slave,
  // read from its registers (100 ms assumed when they cannot be read).
  bool CycleFitsWatchdog();
  // ec_statecheck of the bring-up, cut into short waits so that an abort
  // request ends it.
  uint16_t AwaitState(uint16_t position, uint16_t state, int timeout_us);
  // True (after printing so once) when an abort of the bring-up was requested.
  bool BringUpAborted();
  // Sleeps until the monotonic time target_ns, in short slices, returning
  // early once running_ is clear.
  void SleepWhileRunning(int64_t target_ns);

  // The interface was opened by a start and not closed since.
  bool nic_open_ = false;
  // Slaves on the bus that no node is registered for.
  int excluded_slaves_ = 0;
  std::atomic<bool> abort_requested_{false};
  // Number of the frame last sent by the cycle thread; it grows across
  // starts, so that no node's record of an earlier start counts as fresh.
  uint64_t frame_seq_ = 0;
  // Integral term of the DC lock (cycle thread); each start begins from 0.
  int64_t dc_integral_ = 0;
  // Lost slaves known to pass frames without answering (a later slave's
  // station address answered at their position when they were lost). For
  // the supervision thread.
  std::unordered_map<int32_t, bool> passes_frames_;
  // The last ambiguity named by MayRecoverAt, so that it is named once.
  std::string last_ambiguity_;

  // --- Register reads of a program while the bus runs -----------------------
 public:
  // Reads `length` bytes (1 to kMaxRegisterRead) from register `reg` of the
  // slave at a bus position: by the station address discovery gave it (a
  // slave that stopped answering cannot be confused with the board behind
  // it), or with by_position by its position address (where a board that
  // lost its station address still answers). False when nothing answered.
  // While the bus runs the cycle thread serves the read between two cycles;
  // otherwise the calling thread reads. From one thread at a time, e.g. the
  // one that starts and stops the bus.
  bool ReadSlaveRegisters(int32_t position, uint16_t reg, uint8_t* data, int length, bool by_position = false);

 private:
  struct RegisterRequest {
    uint64_t id = 0;  // 0: none
    int32_t position = 0;
    uint16_t reg = 0;
    int length = 0;
    bool by_position = false;
  };
  // The datagram of one request, from the calling thread.
  static bool ReadRegistersNow(const RegisterRequest& request, uint8_t* data, int timeout_us);
  // Cycle thread, after its frame left: serves the request pending, if any.
  // Holds register_mutex_ only to copy the request in and the answer out.
  void ServeRegisterRead();
  std::mutex register_mutex_;
  // Set (under the mutex) while register_request_ waits for the cycle thread.
  std::atomic<bool> register_pending_{false};
  RegisterRequest register_request_;  // under register_mutex_
  // The request last served and its answer, under register_mutex_.
  uint64_t register_answered_id_ = 0;
  bool register_answer_ok_ = false;
  std::array<uint8_t, kMaxRegisterRead> register_answer_{};
  // Numbers the requests (the requesting thread only).
  uint64_t register_last_id_ = 0;
};

// A lost slave as the recovery sees it.
struct LostSlave {
  int position = 0;          // configured bus position
  bool passes_frames = false;  // known to pass frames without answering
};

// The lost slaves that the board without a station address found at
// auto-increment position `found` could be. `answering` slaves answer a
// broadcast out of `configured`; the slaves that do not answer are silent
// ones (passing frames, so the boards behind them sit that many positions
// earlier) or cut off. A slave known to pass frames is not a candidate while
// every silent slave is one of those known. Positions of the result are in
// ascending order.
std::vector<int> RecoveryCandidates(const std::vector<LostSlave>& lost, int found, int answering, int configured);

// The cycle thread's next wake-up after it woke at now_ns for wake_ns: when
// it woke a whole cycle or more late (this computer stalled), the cycles
// missed are skipped rather than sent back to back, which would flood the
// line with frames and make every later count of frames meaningless.
int64_t SkipMissedCycles(int64_t wake_ns, int64_t now_ns, int64_t cycle_ns);

// Fixed-point PI controller that locks the master cycle to the DC time.
// Returns the correction in ns to add to the next period; *integral is the
// controller's integral term, kept by its owner between calls (0 to begin).
int64_t CalcDcPiSync(int64_t reftime, int64_t cycletime, int64_t shifttime, int64_t* integral);
// The same with one integral term for the whole process, never reset.
int64_t CalcDcPiSync(int64_t reftime, int64_t cycletime, int64_t shifttime);

// Converts value to a fixed-point mantissa and shift (the largest shift from
// 15 down to 0 for which the value still fits). Leaves both outputs as they
// were for values of 32768 and above (and for NaN).
void DoubleToFixed(double value, int32_t* mantissa, int32_t* shift);

}  // namespace ethercat_manager

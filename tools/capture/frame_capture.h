// The flight recorder: every EtherCAT frame that crosses the bus interface,
// both ways, with the kernel's nanosecond time stamps, kept in memory and
// written as one pcap file at the end of the run.
//
// It listens with libpcap beside the master, in a thread of its own at
// normal priority, and knows nothing of the master: what a frame is, it reads
// from the frame itself. That keeps it working whatever master core the
// programs are built with, and keeps it off the cycle's path.
//
// A 1 ms bus writes about 2,000 frames a second, so not every one is kept.
// FrameSieve decides: every frame that is not the cyclic process-data
// exchange (state reads and writes, recovery, register and EEPROM reads),
// every cyclic frame of the first and the last second of the exchange
// (start-up and shutdown), every cyclic frame within a second of a sign of
// trouble on the wire (a reply with a short working counter, a cyclic frame
// that did not come back, a state read that shows a board outside OP or
// with its error bit, a state request), and one cycle in every
// kSampleEvery of the rest; the others are counted as left out.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace capture {

// What one capture holds and what it left out.
struct CaptureCounts {
  uint64_t seen = 0;        // frames the capture received from the kernel
  uint64_t kept = 0;        // frames in the file
  uint64_t left_out = 0;    // frames not kept: cyclic ones thinned out, any over the size cap
  uint64_t kernel_dropped = 0;  // frames the kernel could not hand over in time
};

// The keeping rules, fed one frame at a time in time order; no I/O.
class FrameSieve {
 public:
  static constexpr int64_t kWindowNs = 1000000000;  // around a sign of trouble, longest start-up, shutdown
  static constexpr int64_t kStartUpAfterOpNs = 100000000;
  static constexpr uint64_t kSampleEvery = 100;     // cycles, for the thin sample
  static constexpr size_t kMaxKeptBytes = 64u << 20;  // beyond this, cyclic frames are left out

  // time_ns: the frame's time stamp (any epoch, not going backwards).
  void Add(int64_t time_ns, const uint8_t* frame, size_t len);
  // The end of the capture: the last second of the exchange is kept.
  void Finish();

  // The kept frames as a pcap file (nanosecond time stamps, Ethernet).
  std::string PcapFile() const;
  CaptureCounts counts() const { return counts_; }

  // Whether a frame is cyclic process data: EtherCAT datagrams that are all
  // logical reads/writes (LRD, LWR, LRW), with at least one of them, or the
  // distributed-clock time spread (ARMW/FRMW of the system time register)
  // that rides along with them.
  static bool IsCyclic(const uint8_t* frame, size_t len);

 private:
  struct Frame {
    int64_t time_ns = 0;
    uint64_t order = 0;  // arrival, to keep equal time stamps in order
    std::string bytes;
  };

  void Keep(Frame&& f);
  void Trigger(int64_t time_ns);
  // Signs of trouble in one frame.
  bool Troubled(int64_t time_ns, const uint8_t* frame, size_t len, bool cyclic, bool reply);

  std::vector<Frame> kept_;
  size_t kept_bytes_ = 0;
  std::deque<Frame> recent_;  // cyclic frames of the last second not (yet) kept
  uint64_t order_ = 0;
  uint64_t cycle_ = 0;          // outgoing cyclic frames so far
  bool sampled_cycle_ = false;  // the current cycle is in the thin sample
  bool awaiting_reply_ = false;
  int64_t first_cyclic_ns_ = -1;
  int64_t startup_end_ns_ = -1;  // cyclic frames before this are the start-up's
  int64_t keep_until_ns_ = -1;
  int wkc_best_ = 0;            // highest working counter of a cyclic reply so far
  CaptureCounts counts_;
};

// The libpcap side: a capture thread on one interface.
class FrameCapture {
 public:
  FrameCapture();
  ~FrameCapture();
  FrameCapture(const FrameCapture&) = delete;
  FrameCapture& operator=(const FrameCapture&) = delete;

  // Opens the interface and starts the thread; false with the reason in
  // *error when the interface cannot be captured on.
  bool Start(const std::string& ifname, std::string* error);
  // Stops the thread (idempotent) after the frames still queued are taken.
  void Stop();
  bool running() const { return thread_.joinable(); }

  // After Stop: writes the file whole or not at all. False with the reason
  // in *error.
  bool Write(const std::string& path, std::string* error);
  CaptureCounts counts() const;

 private:
  void Loop();

  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards sieve_ between the thread and the owner
  FrameSieve sieve_;
  uint64_t kernel_dropped_ = 0;
};

}  // namespace capture

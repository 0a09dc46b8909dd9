// Frame buffers and reply matching of the master core.
//
// Sixteen frame buffers, one per datagram index. A frame is built in a
// claimed buffer, transmitted, and its reply is matched by the index byte of
// the first datagram. Several threads may wait for their own frames at the
// same time: one of them waits on the transport, files every valid reply
// under its index and wakes the others; a thread therefore never swallows a
// reply that belongs to another. A waiter whose reader is held up takes what
// has already arrived itself, without waiting, and files it the same way.
//
// The buffers' states are atomics: claiming, sending and releasing a frame
// take no lock, and the thread that reads from the transport takes the
// port's mutex once per reply, to file it. The reply is read into a spare
// buffer that the filing swaps with the index's reply buffer, so it is not
// copied again.
#ifndef ECMASTER_SRC_FRAME_PORT_H
#define ECMASTER_SRC_FRAME_PORT_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "ecmaster/transport.h"
#include "ethercat.h"

namespace ecmaster {

class FramePort {
 public:
  static constexpr int kBuffers = EC_MAXBUF;

  FramePort();
  FramePort(const FramePort&) = delete;
  FramePort& operator=(const FramePort&) = delete;

  // Attaches a transport (nullptr detaches) and frees all buffers. Must not
  // run while other threads use the port.
  void Attach(Transport* transport);
  bool attached() const { return transport_.load(std::memory_order_acquire) != nullptr; }

  // Claims the next free buffer after the last one claimed; -1 if all are in
  // use (or no transport is attached).
  int Claim();
  void Release(int idx);

  // Starts a frame in buffer idx with one datagram, or appends a datagram to
  // it. For read commands the data field is zero-filled, otherwise `data`
  // (may be null: zeros) is copied in. Return the offset of the datagram's
  // data within the frame, or 0 when the datagram does not fit.
  size_t Setup(int idx, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t len,
               const void* data);
  size_t Append(int idx, uint8_t cmd, uint16_t adp, uint16_t ado,
                uint16_t len, const void* data);
  uint8_t* TxFrame(int idx) { return tx_[idx]; }

  // Sends the frame in buffer idx and marks it as awaited.
  void Transmit(int idx);
  // Waits until the reply to buffer idx arrives or the monotonic deadline
  // passes. Returns the working counter of the last datagram of the reply,
  // or EC_NOFRAME.
  int Await(int idx, int64_t deadline_ns);
  // Transmits and waits, sending the frame again after every EC_TIMEOUTRET
  // without a reply, until timeout_us has passed in total (one try at least).
  int Exchange(int idx, int timeout_us);
  // The reply to buffer idx (valid after Await/Exchange returned >= 0).
  const uint8_t* RxFrame(int idx) const { return rx_[idx]; }
  // Room for a received frame: longer frames are cut there.
  static constexpr size_t kRxSize = EC_BUFSIZE + 64;

  // One datagram in its own frame, blocking. For all commands except the
  // pure writes the returned data is copied back into `data` when the WKC is
  // above 0. Returns the WKC or EC_NOFRAME (also when no buffer is free).
  int Transfer(uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t len,
               void* data, int timeout_us);

  // Counters for diagnostics and tests.
  uint64_t frames_sent() const { return frames_sent_.load(std::memory_order_relaxed); }

 private:
  enum class Slot : uint8_t { kFree, kClaimed, kAwaited, kReceived };

  // Files a reply under its index if it is awaited there. With a spare
  // buffer the frame is in *spare: the buffers are swapped instead of
  // copied. Needs mu_.
  void FileLocked(const uint8_t* frame, size_t len, uint8_t** spare);
  bool MatchesLocked(int idx, const uint8_t* frame, size_t len) const;
  // The WKC of the last datagram of the reply in buffer idx.
  int ReplyWkc(int idx) const;
  size_t AddDatagram(int idx, bool first, uint8_t cmd, uint16_t adp,
                     uint16_t ado, uint16_t len, const void* data);

  std::atomic<Transport*> transport_{nullptr};

  mutable std::mutex mu_;
  std::condition_variable cv_;
  // Set by the thread that waits on the transport for everybody; cleared,
  // and the waiters woken, under mu_.
  std::atomic<bool> reading_{false};
  std::atomic<int> last_claimed_{kBuffers - 1};
  // Owner's transitions: kFree -> kClaimed (Claim), -> kAwaited (Transmit),
  // -> kFree (Release); the filing thread's: kAwaited -> kReceived, under
  // mu_. A buffer that is still awaited is released under mu_, so that no
  // filing thread is comparing against its frame at that moment.
  std::atomic<Slot> slot_[kBuffers];
  size_t tx_len_[kBuffers];
  size_t last_datagram_[kBuffers];
  std::atomic<uint64_t> frames_sent_{0};

  uint8_t tx_[kBuffers][EC_BUFSIZE];
  // Reply buffers: rx_[i] for each index plus the spare the reading thread
  // receives into (it owns spare_ while reading_ is set).
  uint8_t* rx_[kBuffers];
  uint8_t* spare_;
  uint8_t rx_pool_[kBuffers + 1][kRxSize];
};

bool IsReadCommand(uint8_t cmd);
bool IsLogicalCommand(uint8_t cmd);

inline uint16_t GetLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetLe64(const uint8_t* p) {
  return static_cast<uint64_t>(GetLe32(p)) |
         (static_cast<uint64_t>(GetLe32(p + 4)) << 32);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace ecmaster

#endif  // ECMASTER_SRC_FRAME_PORT_H

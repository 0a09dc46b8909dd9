#include "frame_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "clock.h"
#include "esc_registers.h"

namespace ecmaster {

namespace {

// Ethernet header of every frame the master sends: broadcast destination,
// the master's fixed source address, EtherCAT EtherType.
constexpr uint8_t kEthHeader[wire::kEthHeader] = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x88, 0xa4};

constexpr size_t kFirstDatagram = wire::kEthHeader + wire::kFrameHeader;
constexpr int64_t kNsPerUs = 1000;
// How long a waiting thread trusts another thread's read before it looks
// at the transport itself (without waiting).
constexpr int64_t kReaderSliceNs = 250 * kNsPerUs;
constexpr int kMaxLateReads = 2 * EC_MAXBUF;

std::chrono::steady_clock::time_point SteadyAt(int64_t monotonic_ns) {
  // steady_clock is CLOCK_MONOTONIC; convert through the offset between the
  // two readings so that any epoch difference cancels out.
  const auto now_steady = std::chrono::steady_clock::now();
  const int64_t now_mono = MonotonicNs();
  return now_steady + std::chrono::nanoseconds(monotonic_ns - now_mono);
}

}  // namespace

bool IsReadCommand(uint8_t cmd) {
  return cmd == EC_CMD_NOP || cmd == EC_CMD_APRD || cmd == EC_CMD_FPRD ||
         cmd == EC_CMD_BRD || cmd == EC_CMD_LRD;
}

bool IsLogicalCommand(uint8_t cmd) {
  return cmd == EC_CMD_LRD || cmd == EC_CMD_LWR || cmd == EC_CMD_LRW;
}

namespace {

// Commands whose slave-side processing leaves the whole address untouched;
// auto-increment and broadcast commands count the ADP up on the way.
bool AddressIsStable(uint8_t cmd) {
  return IsLogicalCommand(cmd) || cmd == EC_CMD_FPRD || cmd == EC_CMD_FPWR ||
         cmd == EC_CMD_FPRW || cmd == EC_CMD_FRMW || cmd == EC_CMD_NOP;
}

bool IsWriteOnlyCommand(uint8_t cmd) {
  return cmd == EC_CMD_APWR || cmd == EC_CMD_FPWR || cmd == EC_CMD_BWR ||
         cmd == EC_CMD_LWR;
}

}  // namespace

FramePort::FramePort() {
  std::memset(rx_pool_, 0, sizeof rx_pool_);
  for (int i = 0; i < kBuffers; ++i) {
    slot_[i].store(Slot::kFree, std::memory_order_relaxed);
    tx_len_[i] = 0;
    last_datagram_[i] = 0;
    std::memcpy(tx_[i], kEthHeader, sizeof kEthHeader);
    rx_[i] = rx_pool_[i];
  }
  spare_ = rx_pool_[kBuffers];
}

void FramePort::Attach(Transport* transport) {
  std::lock_guard<std::mutex> lk(mu_);
  transport_.store(transport, std::memory_order_release);
  reading_.store(false, std::memory_order_relaxed);
  last_claimed_.store(kBuffers - 1, std::memory_order_relaxed);
  for (int i = 0; i < kBuffers; ++i) slot_[i].store(Slot::kFree, std::memory_order_release);
}

int FramePort::Claim() {
  if (transport_.load(std::memory_order_acquire) == nullptr) return -1;
  const int last = last_claimed_.load(std::memory_order_relaxed);
  for (int n = 1; n <= kBuffers; ++n) {
    const int idx = (last + n) % kBuffers;
    Slot expected = Slot::kFree;
    // Acquire: the previous owner's last use of the buffers comes first.
    if (slot_[idx].compare_exchange_strong(expected, Slot::kClaimed, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
      last_claimed_.store(idx, std::memory_order_relaxed);
      return idx;
    }
  }
  return -1;
}

void FramePort::Release(int idx) {
  if (idx < 0 || idx >= kBuffers) return;
  if (slot_[idx].load(std::memory_order_acquire) == Slot::kAwaited) {
    // A reader may be comparing a reply against this frame right now.
    std::lock_guard<std::mutex> lk(mu_);
    slot_[idx].store(Slot::kFree, std::memory_order_release);
    return;
  }
  slot_[idx].store(Slot::kFree, std::memory_order_release);
}

size_t FramePort::AddDatagram(int idx, bool first, uint8_t cmd, uint16_t adp,
                              uint16_t ado, uint16_t len, const void* data) {
  uint8_t* f = tx_[idx];
  size_t off = first ? kFirstDatagram : tx_len_[idx];
  const size_t need = wire::kDatagramHeader + len + wire::kWkcSize;
  if (len > EC_MAXLRWDATA || off + need > EC_MAXECATFRAME - 4) return 0;
  if (!first) {
    // Flag "more datagrams follow" on the previous datagram.
    uint8_t* prev = f + last_datagram_[idx];
    PutLe16(prev + 6, GetLe16(prev + 6) | wire::kMoreFollows);
  }
  uint8_t* d = f + off;
  d[0] = cmd;
  d[1] = static_cast<uint8_t>(idx);
  PutLe16(d + 2, adp);
  PutLe16(d + 4, ado);
  PutLe16(d + 6, len);
  PutLe16(d + 8, 0);  // IRQ
  if (IsReadCommand(cmd) || data == nullptr) {
    std::memset(d + wire::kDatagramHeader, 0, len);
  } else {
    std::memcpy(d + wire::kDatagramHeader, data, len);
  }
  PutLe16(d + wire::kDatagramHeader + len, 0);  // WKC
  last_datagram_[idx] = off;
  tx_len_[idx] = off + need;
  const size_t payload = tx_len_[idx] - kFirstDatagram;
  PutLe16(f + wire::kEthHeader,
          static_cast<uint16_t>(EC_ECATTYPE | (payload & wire::kLengthMask)));
  return off + wire::kDatagramHeader;
}

size_t FramePort::Setup(int idx, uint8_t cmd, uint16_t adp, uint16_t ado,
                        uint16_t len, const void* data) {
  return AddDatagram(idx, true, cmd, adp, ado, len, data);
}

size_t FramePort::Append(int idx, uint8_t cmd, uint16_t adp, uint16_t ado,
                         uint16_t len, const void* data) {
  return AddDatagram(idx, false, cmd, adp, ado, len, data);
}

void FramePort::Transmit(int idx) {
  Transport* t = transport_.load(std::memory_order_acquire);
  // Release: a filing thread that sees the buffer awaited sees its frame.
  slot_[idx].store(Slot::kAwaited, std::memory_order_release);
  frames_sent_.fetch_add(1, std::memory_order_relaxed);
  // Send errors (interface down, queue full) surface as a missing reply.
  if (t != nullptr) t->Send(tx_[idx], tx_len_[idx]);
}

bool FramePort::MatchesLocked(int idx, const uint8_t* frame,
                              size_t len) const {
  const uint8_t* sent = tx_[idx];
  const size_t sent_len = tx_len_[idx];
  if (len < sent_len) return false;  // truncated on the way
  if (GetLe16(frame + wire::kEthHeader) != GetLe16(sent + wire::kEthHeader)) {
    return false;
  }
  // Same datagram layout: commands, indices, lengths and the address parts
  // that slaves do not change. Late replies to an earlier use of the index
  // and foreign frames are rejected this way.
  size_t off = kFirstDatagram;
  while (off + wire::kDatagramHeader <= sent_len) {
    const uint8_t* s = sent + off;
    const uint8_t* r = frame + off;
    if (r[0] != s[0] || r[1] != s[1] || GetLe16(r + 6) != GetLe16(s + 6)) {
      return false;
    }
    if (AddressIsStable(s[0])) {
      if (std::memcmp(r + 2, s + 2, 4) != 0) return false;
    } else if (GetLe16(r + 4) != GetLe16(s + 4)) {
      return false;
    }
    const uint16_t lw = GetLe16(s + 6);
    off += wire::kDatagramHeader + (lw & wire::kLengthMask) + wire::kWkcSize;
    if (!(lw & wire::kMoreFollows)) break;
  }
  return true;
}

void FramePort::FileLocked(const uint8_t* frame, size_t len, uint8_t** spare) {
  if (len < kFirstDatagram + wire::kDatagramHeader + wire::kWkcSize) return;
  if (frame[12] != (wire::kEtherType >> 8) ||
      frame[13] != (wire::kEtherType & 0xff)) {
    return;
  }
  if ((GetLe16(frame + wire::kEthHeader) & 0xF000) != EC_ECATTYPE) return;
  const int idx = frame[kFirstDatagram + 1];
  if (idx >= kBuffers || slot_[idx].load(std::memory_order_acquire) != Slot::kAwaited) return;
  if (!MatchesLocked(idx, frame, len)) return;
  if (spare != nullptr) {
    std::swap(rx_[idx], *spare);
  } else {
    std::memcpy(rx_[idx], frame, tx_len_[idx]);
  }
  slot_[idx].store(Slot::kReceived, std::memory_order_release);
}

int FramePort::ReplyWkc(int idx) const {
  const uint8_t* d = rx_[idx] + last_datagram_[idx];
  const uint16_t dlen = GetLe16(d + 6) & wire::kLengthMask;
  return GetLe16(d + wire::kDatagramHeader + dlen);
}

int FramePort::Await(int idx, int64_t deadline_ns) {
  // Past the deadline the transport is still drained without waiting (up
  // to a bound), so a reply queued behind other frames is not missed when
  // this thread was descheduled for a while.
  bool polled = false;
  int late_reads = 0;
  for (;;) {
    if (slot_[idx].load(std::memory_order_acquire) == Slot::kReceived) return ReplyWkc(idx);
    Transport* t = transport_.load(std::memory_order_acquire);
    if (t == nullptr) return EC_NOFRAME;
    const int64_t now = MonotonicNs();
    if (now >= deadline_ns && polled) return EC_NOFRAME;
    bool idle = false;
    if (reading_.compare_exchange_strong(idle, true, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      // This thread waits on the transport for everybody, into the spare
      // buffer it now owns.
      const int64_t wait = std::max<int64_t>(0, deadline_ns - now);
      const int n = t->Receive(spare_, kRxSize, wait);
      if (n < 0) SleepUs(std::min<int64_t>(wait / kNsPerUs, 200));
      if (n <= 0 || (wait == 0 && ++late_reads >= kMaxLateReads)) polled = true;
      std::lock_guard<std::mutex> lk(mu_);
      if (n > 0) FileLocked(spare_, static_cast<size_t>(n), &spare_);
      reading_.store(false, std::memory_order_release);
      cv_.notify_all();
      continue;
    }
    // Another thread waits on the transport and files what comes. Should it
    // be held up (preempted, or a lower-priority thread), take what has
    // already arrived after each slice without waiting, so that a reply
    // never misses its deadline behind a stalled reader.
    std::unique_lock<std::mutex> lk(mu_);
    // The reader clears reading_ under mu_ before it wakes the waiters: seen
    // set here, the wake-up cannot be missed.
    if (!reading_.load(std::memory_order_relaxed) ||
        slot_[idx].load(std::memory_order_relaxed) == Slot::kReceived) {
      continue;
    }
    const int64_t slice_end = std::min(deadline_ns, now + kReaderSliceNs);
    if (cv_.wait_until(lk, SteadyAt(slice_end)) == std::cv_status::no_timeout) continue;
    if (slot_[idx].load(std::memory_order_relaxed) == Slot::kReceived) continue;
    lk.unlock();
    uint8_t buf[kRxSize];
    int reads = 0;
    int n;
    while (reads++ < kMaxLateReads && (n = t->Receive(buf, sizeof buf, 0)) > 0) {
      std::lock_guard<std::mutex> relock(mu_);
      FileLocked(buf, static_cast<size_t>(n), nullptr);
      cv_.notify_all();
    }
    if (MonotonicNs() >= deadline_ns) polled = true;
  }
}

int FramePort::Exchange(int idx, int timeout_us) {
  const int64_t end = MonotonicNs() + static_cast<int64_t>(timeout_us) * kNsPerUs;
  int wkc;
  do {
    Transmit(idx);
    const int64_t retry_at =
        MonotonicNs() + static_cast<int64_t>(EC_TIMEOUTRET) * kNsPerUs;
    wkc = Await(idx, std::min(end, retry_at));
  } while (wkc == EC_NOFRAME && MonotonicNs() < end);
  return wkc;
}

int FramePort::Transfer(uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t len,
                        void* data, int timeout_us) {
  const int idx = Claim();
  if (idx < 0) return EC_NOFRAME;
  const size_t off = Setup(idx, cmd, adp, ado, len, data);
  if (off == 0) {
    Release(idx);
    return EC_ERROR;
  }
  const int wkc = Exchange(idx, timeout_us);
  if (wkc > 0 && data != nullptr && !IsWriteOnlyCommand(cmd)) {
    std::memcpy(data, rx_[idx] + off, len);
  }
  Release(idx);
  return wkc;
}

}  // namespace ecmaster

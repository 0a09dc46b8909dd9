// The slave controller's AL state machine and SM watchdog, its SII EEPROM
// interface, its link and error counters and its distributed clocks.
#include <algorithm>
#include <cstring>

#include "simulator/esc.h"
#include "simulator/esc_layout.h"

namespace dcusim {

using namespace esc_layout;

// ---------------------------------------------------------------------------
// AL state machine

void Esc::PublishAlStatus() {
  PutLe16(&mem_[kRegAlStatus], static_cast<uint16_t>(state_ | (error_ ? kAlErrorBit : 0)));
  PutLe16(&mem_[kRegAlCode], code_);
}

void Esc::AlControlWritten() {
  const uint16_t ctl = Le16(&mem_[kRegAlControl]);
  const uint8_t req = ctl & 0x0F;
  const bool ack = ctl & 0x10;
  if (error_) {
    if (ack) {
      error_ = false;
      code_ = 0;
    } else if (ValidRequest(req) && req < state_) {
      // Going down is always allowed and clears the indication.
      error_ = false;
      code_ = 0;
    } else {
      return;  // same or higher state without acknowledge: ignored
    }
  }
  op_pending_ = false;
  RequestState(req);
  PublishAlStatus();
}

void Esc::Refuse(uint16_t code) {
  error_ = true;
  code_ = code;
}

void Esc::RequestState(uint8_t req) {
  if (!ValidRequest(req)) return Refuse(kCodeUnknownState);
  if (req == state_) return;
  if (req == kBoot) return Refuse(state_ == kInit ? kCodeNoBoot : kCodeInvalidChange);
  switch (state_) {
    case kInit:
      if (req == kPreOp) return EnterState(kPreOp);
      return Refuse(kCodeInvalidChange);
    case kPreOp:
      if (req == kInit) return EnterState(kInit);
      if (req == kSafeOp) {
        uint16_t code = CheckSyncManagers();
        if (code) return Refuse(code);
        return EnterState(kSafeOp);
      }
      return Refuse(kCodeInvalidChange);
    case kSafeOp:
      if (req == kOp) {
        if (settings_.require_dc_for_op &&
            ((mem_[kRegActivation] & 0x03) != 0x03 || Le32(&mem_[kRegSync0Cycle]) == 0)) {
          return Refuse(kCodeBadDcSync);
        }
        if (settings_.op_requires_outputs && !outputs_in_safe_op_) {
          op_pending_ = true;
          return;
        }
      }
      return EnterState(req);
    default:  // OP
      return EnterState(req);
  }
}

uint16_t Esc::CheckSyncManagers() const {
  const auto& s = settings_.sii;
  auto fits = [&](uint16_t start, uint16_t length, uint8_t direction) {
    for (const SmView& sm : sm_) {
      if (sm.start == start && sm.length == length && sm.enabled && (sm.control & 0x03) == 0 &&
          ((sm.control >> 2) & 0x03) == direction) {
        return true;
      }
    }
    return false;
  };
  if (s.output_bytes && !fits(s.output_start, s.output_bytes, 0x01)) return kCodeBadOutputs;
  if (s.input_bytes && !fits(s.input_start, s.input_bytes, 0x00)) return kCodeBadInputs;
  return 0;
}

void Esc::EnterState(uint8_t s) {
  const uint8_t old = state_;
  state_ = s;
  if (old == kOp && s != kOp && app_) app_->OnLeaveOp();
  if (s == kOp && old != kOp) {
    wd_last_trigger_ = now_;
    mem_[kRegWdStatus] |= 0x01;
  }
  if (s < kSafeOp) {
    outputs_in_safe_op_ = false;
    op_pending_ = false;
  }
}

void Esc::OutputsCommitted() {
  const auto& s = settings_.sii;
  std::memcpy(out_committed_.data(), &mem_[s.output_start], s.output_bytes);
  out_fresh_ = true;
  wd_last_trigger_ = now_;
  mem_[kRegWdStatus] |= 0x01;
  if (state_ == kSafeOp) {
    outputs_in_safe_op_ = true;
    if (op_pending_) {
      op_pending_ = false;
      EnterState(kOp);
      PublishAlStatus();
    }
  }
}

uint64_t Esc::WatchdogNs() const {
  return (static_cast<uint64_t>(Le16(&mem_[kRegWdDivider])) + 2) * 40 * Le16(&mem_[kRegWdSm]);
}

void Esc::CheckWatchdog(uint64_t now_ns) {
  if (state_ != kOp) return;
  const uint64_t limit = WatchdogNs();
  if (limit == 0) return;
  bool armed = false;
  for (const SmView& s : sm_) {
    if (s.enabled && s.length && ((s.control >> 2) & 0x03) == 0x01 && (s.control & 0x40)) armed = true;
  }
  if (!armed || now_ns <= wd_last_trigger_ + limit) return;
  const uint64_t saved = now_;
  now_ = now_ns;
  EnterState(kSafeOp);
  now_ = saved;
  error_ = true;
  code_ = kCodeSmWatchdog;
  mem_[kRegWdStatus] &= static_cast<uint8_t>(~0x01);
  if (mem_[kRegWdCounter] < 0xFF) ++mem_[kRegWdCounter];
  PublishAlStatus();
}

void Esc::ForceState(uint8_t state, bool error, uint16_t code, uint64_t now_ns) {
  const uint64_t saved = now_;
  now_ = now_ns;
  if (state != state_) EnterState(state);
  now_ = saved;
  error_ = error;
  code_ = code;
  op_pending_ = false;
  PublishAlStatus();
}

// ---------------------------------------------------------------------------
// SII EEPROM

void Esc::ExecuteEeprom() {
  eeprom_pending_ = false;
  const uint16_t ctl = Le16(&mem_[kRegEepControl]);
  const uint8_t cmd = (ctl >> 8) & 0x07;
  const uint32_t word = Le32(&mem_[kRegEepAddress]);
  switch (cmd) {
    case 0:
      eep_errors_ = 0;
      break;
    case 1:
      for (uint32_t i = 0; i < 4; ++i) {
        const uint64_t w = static_cast<uint64_t>(word) + i;
        PutLe16(&mem_[kRegEepData + 2 * i], w < sii_.size() ? sii_[w] : 0xFFFF);
      }
      break;
    case 2:
      if (!(ctl & 0x01)) {
        eep_errors_ |= kEepErrNoEnable;
      } else if (word < sii_.size()) {
        sii_[word] = Le16(&mem_[kRegEepData]);
      } else {
        eep_errors_ |= kEepErrNack;
      }
      break;
    case 4:
      PutLe16(&mem_[kRegAlias], sii_[4]);
      PutLe16(&mem_[kRegPdiControl], sii_[0]);
      if ((sii_[7] & 0xFF) != SiiConfigCrc(sii_.data())) eep_errors_ |= kEepErrChecksum;
      break;
    default:
      eep_errors_ |= kEepErrNack;
      break;
  }
  PutLe16(&mem_[kRegEepControl], static_cast<uint16_t>(kEepStatusRead8 | eep_errors_));
}

// ---------------------------------------------------------------------------
// Links and error counters

void Esc::PublishDlStatus(bool port1_forwards) {
  // PDI operational and watchdog reloaded; per port with a link: link bit,
  // loop open with communication; without: loop closed.
  const uint8_t links = static_cast<uint8_t>(port1_forwards ? links_ | 0x02 : links_ & ~0x02);
  uint16_t v = 0x0003;
  for (int n = 0; n < 4; ++n) {
    if (links & (1u << n)) {
      v = static_cast<uint16_t>(v | (1u << (4 + n)) | (1u << (9 + 2 * n)));
    } else {
      v = static_cast<uint16_t>(v | (1u << (8 + 2 * n)));
    }
  }
  PutLe16(&mem_[kRegDlStatus], v);
}

void Esc::SetLinks(uint8_t links, bool count_losses) {
  links &= 0x0F;
  if (count_losses) {
    for (int n = 0; n < 4; ++n) {
      if ((links_ & (1u << n)) && !(links & (1u << n))) AddLostLinks(n, 1);
    }
  }
  links_ = links;
  PublishDlStatus(links_ & 0x02);
}

namespace {
void AddSaturated(uint8_t* counter, unsigned n) {
  *counter = static_cast<uint8_t>(std::min<unsigned>(0xFF, *counter + std::min(n, 0xFFu)));
}
}  // namespace

void Esc::AddRxErrors(int port, unsigned n) {
  if (port < 0 || port > 3) return;
  AddSaturated(&mem_[kRegRxErrors + 2 * port], n);      // invalid frames
  AddSaturated(&mem_[kRegRxErrors + 2 * port + 1], n);  // physical-layer errors
}

void Esc::AddForwardedRxErrors(int port, unsigned n) {
  if (port >= 0 && port <= 3) AddSaturated(&mem_[kRegForwardedErrors + port], n);
}

void Esc::AddLostLinks(int port, unsigned n) {
  if (port >= 0 && port <= 3) AddSaturated(&mem_[kRegLostLinks + port], n);
}

// The counters are read-only; a write clears its group whatever the value:
// any byte of 0x0300..0x030D the RX, forwarded, processing-unit and PDI
// error counters, any byte of 0x0310..0x0313 the lost-link counters, either
// watchdog counter both of them.
void Esc::CountersWritten(uint32_t addr, uint32_t end) {
  if (Overlaps(addr, end, kRegRxErrors, kRegErrorCountersEnd)) {
    std::fill(&mem_[kRegRxErrors], &mem_[kRegErrorCountersEnd], 0);
  }
  if (Overlaps(addr, end, kRegLostLinks, kRegLostLinks + 4)) {
    std::fill(&mem_[kRegLostLinks], &mem_[kRegLostLinks + 4], 0);
  }
  if (Overlaps(addr, end, kRegWdCounter, kRegWdCounter + 2)) {
    mem_[kRegWdCounter] = 0;
    mem_[kRegWdCounter + 1] = 0;
  }
}

// ---------------------------------------------------------------------------
// Distributed clocks

uint64_t Esc::LocalTime(uint64_t host_ns) const {
  const __int128 elapsed = static_cast<__int128>(host_ns) - static_cast<__int128>(created_ns_);
  const int64_t drift = static_cast<int64_t>(elapsed * drift_ppb_ / 1000000000);
  return host_ns + static_cast<uint64_t>(clock_offset_) + static_cast<uint64_t>(drift);
}

uint64_t Esc::SystemTime(uint64_t host_ns) const {
  if (!settings_.dc) return 0;
  const __int128 since = static_cast<__int128>(host_ns) - static_cast<__int128>(ctrl_t_);
  const int64_t rate = static_cast<int64_t>(since * ctrl_rate_ppb_ / 1000000000);
  return LocalTime(host_ns) + Le64(&mem_[kRegSysOffset]) + Le32(&mem_[kRegSysDelay]) +
         static_cast<uint64_t>(ctrl_ns_) + static_cast<uint64_t>(rate);
}

void Esc::LatchReceiveTimes() {
  latch_pending_ = false;
  uint64_t a = LocalTime(timing_.arrive_ns);
  uint64_t b = timing_.last ? 0 : LocalTime(timing_.return_ns);
  // Masters compare the port latches as signed 32-bit numbers; keep the
  // pair on one side of the sign boundary (the clock has no meaning yet).
  if (!timing_.last && static_cast<int32_t>(static_cast<uint32_t>(b)) < static_cast<int32_t>(static_cast<uint32_t>(a))) {
    clock_offset_ += int64_t{1} << 22;
    a = LocalTime(timing_.arrive_ns);
    b = LocalTime(timing_.return_ns);
  }
  PutLe32(&mem_[kRegRecvTime], static_cast<uint32_t>(a));
  PutLe32(&mem_[kRegRecvTime + 4], static_cast<uint32_t>(b));
  PutLe32(&mem_[kRegRecvTime + 8], 0);
  PutLe32(&mem_[kRegRecvTime + 12], 0);
  PutLe64(&mem_[kRegRecvTimePu], a);
}

void Esc::SystemTimeWritten(const uint8_t* value, uint32_t n) {
  if (n < 4) return;
  const uint64_t local = SystemTime(now_);
  const uint32_t delay = Le32(&mem_[kRegSysDelay]);
  int64_t diff;
  if (n >= 8) {
    diff = static_cast<int64_t>(Le64(value) + delay - local);
  } else {
    diff = static_cast<int32_t>(Le32(value) + delay - static_cast<uint32_t>(local));
  }
  const uint64_t mag = static_cast<uint64_t>(diff < 0 ? -diff : diff);
  PutLe32(&mem_[kRegSysDiff],
          static_cast<uint32_t>(std::min<uint64_t>(mag, 0x7FFFFFFF)) | (diff > 0 ? 0x80000000u : 0u));
  if (diff > kTimeCaptureRange || diff < -kTimeCaptureRange) return;
  // Fold the running rate correction into the offset, then a proportional
  // step plus an integral term on the clock rate.
  const __int128 since = static_cast<__int128>(now_) - static_cast<__int128>(ctrl_t_);
  ctrl_ns_ += static_cast<int64_t>(since * ctrl_rate_ppb_ / 1000000000);
  ctrl_t_ = now_;
  if (last_time_write_ != 0 && now_ > last_time_write_) {
    const double dt = static_cast<double>(now_ - last_time_write_);
    int64_t r = ctrl_rate_ppb_ + static_cast<int64_t>(0.1 * static_cast<double>(diff) * 1e9 / dt);
    ctrl_rate_ppb_ = std::clamp<int64_t>(r, -kMaxRateCorrection, kMaxRateCorrection);
  }
  ctrl_ns_ += diff / 2;
  last_time_write_ = now_;
}

void Esc::ActivationWritten() {
  const uint8_t v = mem_[kRegActivation];
  if ((v & 0x03) == 0x03) {
    sync0_start_ = Le64(&mem_[kRegStartTime]);
    sync0_cycle_ = Le32(&mem_[kRegSync0Cycle]);
    const uint64_t now_sys = SystemTime(now_);
    // A start time already in the past never fires.
    sync0_missed_ = static_cast<int64_t>(sync0_start_ - now_sys) < 0;
    sync0_running_ = !sync0_missed_;
  } else {
    sync0_running_ = false;
  }
  mem_[kRegActStatus] = sync0_running_ ? 0x01 : 0x00;
}

uint64_t Esc::NextSync0(uint64_t sys) const {
  if (sys < sync0_start_ || sync0_cycle_ == 0) return sync0_start_;
  return sync0_start_ + ((sys - sync0_start_) / sync0_cycle_ + 1) * sync0_cycle_;
}

}  // namespace dcusim

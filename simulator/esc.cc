#include "simulator/esc.h"

#include <algorithm>
#include <cstring>

#include "simulator/al_state.h"
#include "simulator/esc_layout.h"

namespace dcusim {

using namespace esc_layout;

namespace {

// Bits of each register byte that EtherCAT may write.
struct WriteMask {
  std::array<uint8_t, kRegSpace> m{};
  WriteMask() {
    auto set = [&](uint32_t a, uint32_t n, uint8_t v) {
      for (uint32_t i = 0; i < n; ++i) m[a + i] = v;
    };
    set(kRegStation, 2, 0xFF);
    set(kRegDlControl, 4, 0xFF);
    set(kRegAlControl, 2, 0xFF);
    set(kRegEventMask, 2, 0xFF);
    set(kRegWdDivider, 2, 0xFF);
    set(kRegWdPdi, 2, 0xFF);
    set(kRegWdSm, 2, 0xFF);
    set(kRegEepConfig, 1, 0x03);
    set(kRegEepControl, 1, 0x01);
    set(kRegEepControl + 1, 1, 0x07);
    set(kRegEepAddress, 4, 0xFF);
    set(kRegEepData, 8, 0xFF);
    for (int f = 0; f < kFmmus; ++f) {
      uint32_t b = kRegFmmu + 16 * f;
      set(b, 6, 0xFF);
      set(b + 6, 2, 0x07);
      set(b + 8, 2, 0xFF);
      set(b + 10, 1, 0x07);
      set(b + 11, 1, 0x03);
      set(b + 12, 1, 0x01);
    }
    for (int s = 0; s < kSms; ++s) {
      uint32_t b = kRegSm + 8 * s;
      set(b, 5, 0xFF);
      set(b + 6, 1, 0xC3);
    }
    set(kRegSysOffset, 8, 0xFF);
    set(kRegSysDelay, 4, 0xFF);
    set(kRegSpeedStart, 2, 0xFF);
    set(kRegFilterDepth, 2, 0xFF);
    set(kRegCyclicControl, 1, 0xFF);
    set(kRegActivation, 1, 0xFF);
    set(kRegStartTime, 8, 0xFF);
    set(kRegSync0Cycle, 4, 0xFF);
    set(kRegSync1Cycle, 4, 0xFF);
    set(kRegLatchControl, 2, 0xFF);
  }
};

const WriteMask& Masks() {
  static const WriteMask masks;
  return masks;
}


}  // namespace

Esc::Esc(const EscSettings& settings, std::unique_ptr<PdiApplication> app)
    : settings_(settings), app_(std::move(app)), mem_(kMemSize, 0) {
  sii_ = BuildSiiImage(settings_.sii);
  clock_offset_ = settings_.clock_offset_ns;
  created_ns_ = settings_.created_ns;
  drift_ppb_ = static_cast<int64_t>(settings_.drift_ppm * 1000.0);
  PowerOn(settings_.created_ns);
}

Esc::~Esc() = default;

void Esc::PowerOn(uint64_t now_ns) {
  std::fill(mem_.begin(), mem_.end(), 0);
  now_ = now_ns;
  mem_[kRegType] = 0x04;
  mem_[kRegRevision] = 0x01;
  PutLe16(&mem_[kRegBuild], 0x0010);
  mem_[kRegFmmuCount] = kFmmus;
  mem_[kRegSmCount] = kSms;
  mem_[kRegRamSize] = kRamSize / 1024;
  mem_[kRegPortDesc] = 0x0F;
  PutLe16(&mem_[kRegFeatures], settings_.dc ? 0x000C : 0x0000);
  PutLe16(&mem_[kRegAlias], sii_[4]);
  PutLe16(&mem_[kRegPdiControl], sii_[0]);
  PublishDlStatus(links_ & 0x02);
  PutLe16(&mem_[kRegWdDivider], 0x09C2);
  PutLe16(&mem_[kRegWdPdi], 1000);
  PutLe16(&mem_[kRegWdSm], settings_.watchdog_time);
  mem_[kRegWdStatus] = 0x01;
  PutLe16(&mem_[kRegEepControl], kEepStatusRead8);
  if (settings_.dc) PutLe16(&mem_[kRegPulseLength], sii_[2]);
  out_committed_.assign(settings_.sii.output_bytes, 0);
  out_fresh_ = false;
  sm_ = {};
  fmmu_ = {};
  active_fmmus_ = 0;
  state_ = kInit;
  error_ = false;
  code_ = 0;
  op_pending_ = false;
  outputs_in_safe_op_ = false;
  eeprom_pending_ = latch_pending_ = false;
  eep_errors_ = 0;
  wd_last_trigger_ = now_ns;
  ctrl_ns_ = 0;
  ctrl_rate_ppb_ = 0;
  ctrl_t_ = now_ns;
  last_time_write_ = 0;
  sync0_running_ = sync0_missed_ = false;
  sync0_start_ = 0;
  sync0_cycle_ = 0;
  PublishAlStatus();
}

uint16_t Esc::al_status() const { return Le16(&mem_[kRegAlStatus]); }
uint16_t Esc::station_address() const { return Le16(&mem_[kRegStation]); }
uint8_t Esc::PeekByte(uint16_t addr) const { return addr < kMemSize ? mem_[addr] : 0; }

// ---------------------------------------------------------------------------
// Frames and datagrams

void Esc::BeginFrame(const FrameTiming& timing) {
  timing_ = timing;
  now_ = timing.arrive_ns;
  CheckWatchdog(now_);
  PublishDlStatus(!timing.last);
  app_ran_ = false;
}

void Esc::RunApplication() {
  // The firmware is consulted once per frame that touches the process data,
  // before the first access, so that inputs are current when read.
  app_ran_ = true;
  if (!app_) return;
  const auto& s = settings_.sii;
  uint8_t* inputs = s.input_bytes ? &mem_[s.input_start] : nullptr;
  app_->Cycle(now_, out_committed_.data(), out_committed_.size(), out_fresh_, state_ == kOp, inputs, s.input_bytes);
  out_fresh_ = false;
}

void Esc::EndFrame() {
  if (eeprom_pending_) ExecuteEeprom();
  if (latch_pending_) LatchReceiveTimes();
}

bool Esc::NodeMatch(uint16_t adp) const {
  if (adp == Le16(&mem_[kRegStation])) return true;
  return (mem_[kRegDlControl + 3] & 0x01) && adp == Le16(&mem_[kRegAlias]);
}

void Esc::Process(Datagram& d) {
  const uint8_t cmd = d.header[0];
  uint16_t adp = Le16(d.header + 2);
  const uint16_t ado = Le16(d.header + 4);
  uint16_t wkc = Le16(d.wkc);
  const uint16_t n = d.length;
  bool auto_increment = false;

  auto read_write = [&](bool merge_or) -> uint16_t {
    uint8_t incoming[2048];
    std::memcpy(incoming, d.data, n);
    uint16_t c = 0;
    if (Read(ado, d.data, n, merge_or)) c += 1;
    if (Write(ado, incoming, n)) c += 2;
    return c;
  };

  switch (cmd) {
    case 0x01:  // APRD
      if (adp == 0 && Read(ado, d.data, n, false)) wkc += 1;
      auto_increment = true;
      break;
    case 0x02:  // APWR
      if (adp == 0 && Write(ado, d.data, n)) wkc += 1;
      auto_increment = true;
      break;
    case 0x03:  // APRW
      if (adp == 0) wkc += read_write(false);
      auto_increment = true;
      break;
    case 0x04:  // FPRD
      if (NodeMatch(adp) && Read(ado, d.data, n, false)) wkc += 1;
      break;
    case 0x05:  // FPWR
      if (NodeMatch(adp) && Write(ado, d.data, n)) wkc += 1;
      break;
    case 0x06:  // FPRW
      if (NodeMatch(adp)) wkc += read_write(false);
      break;
    case 0x07:  // BRD
      if (Read(ado, d.data, n, true)) wkc += 1;
      auto_increment = true;
      break;
    case 0x08:  // BWR
      if (Write(ado, d.data, n)) wkc += 1;
      auto_increment = true;
      break;
    case 0x09:  // BRW
      wkc += read_write(true);
      auto_increment = true;
      break;
    case 0x0A:  // LRD
    case 0x0B:  // LWR
    case 0x0C:  // LRW
      Logical(d, cmd, &wkc);
      break;
    case 0x0D:  // ARMW
      if (adp == 0) {
        if (Read(ado, d.data, n, false)) wkc += 1;
      } else if (Write(ado, d.data, n)) {
        wkc += 1;
      }
      auto_increment = true;
      break;
    case 0x0E:  // FRMW
      if (NodeMatch(adp)) {
        if (Read(ado, d.data, n, false)) wkc += 1;
      } else if (Write(ado, d.data, n)) {
        wkc += 1;
      }
      break;
    default:  // NOP and unknown commands pass untouched
      return;
  }
  if (auto_increment) PutLe16(d.header + 2, static_cast<uint16_t>(adp + 1));
  PutLe16(d.wkc, wkc);
}

void Esc::Logical(Datagram& d, uint8_t cmd, uint16_t* wkc) {
  if (active_fmmus_ == 0 || d.length == 0) return;
  const uint64_t start = Le32(d.header + 2);
  const uint64_t end = start + d.length;
  const bool want_write = cmd == 0x0B || cmd == 0x0C;
  const bool want_read = cmd == 0x0A || cmd == 0x0C;
  bool wrote = false, read = false;

  auto for_each = [&](bool write_pass) {
    for (const FmmuView& f : fmmu_) {
      if (!f.active || !(f.type & (write_pass ? 0x02 : 0x01))) continue;
      const uint64_t ls = f.log_start, le = ls + f.log_length;
      const uint64_t lo = std::max(ls, start), hi = std::min(le, end);
      if (lo >= hi) continue;
      uint32_t phys = static_cast<uint32_t>(f.phys_start + (lo - ls));
      uint8_t* data = d.data + (lo - start);
      uint32_t count = static_cast<uint32_t>(hi - lo);
      uint8_t first_mask = lo == ls ? static_cast<uint8_t>(0xFF << f.log_start_bit) : 0xFF;
      uint8_t last_mask = hi == le ? static_cast<uint8_t>(0xFF >> (7 - f.log_end_bit)) : 0xFF;
      // Whole bytes in the middle go straight through; partial edge bytes are merged.
      uint32_t i = 0;
      auto one_byte = [&](uint32_t k, uint8_t mask) {
        uint8_t cur = 0;
        bool ok = Read(phys + k, &cur, 1, false);
        if (!ok) return false;
        if (write_pass) {
          uint8_t v = static_cast<uint8_t>((cur & ~mask) | (data[k] & mask));
          return Write(phys + k, &v, 1);
        }
        data[k] = static_cast<uint8_t>((data[k] & ~mask) | (cur & mask));
        return true;
      };
      bool any = false;
      if (count == 1) {
        any = one_byte(0, first_mask & last_mask);
      } else {
        if (first_mask != 0xFF) {
          any |= one_byte(0, first_mask);
          i = 1;
        }
        uint32_t mid_end = last_mask != 0xFF ? count - 1 : count;
        if (mid_end > i) {
          any |= write_pass ? Write(phys + i, data + i, mid_end - i) : Read(phys + i, data + i, mid_end - i, false);
        }
        if (last_mask != 0xFF) any |= one_byte(count - 1, last_mask);
      }
      if (write_pass) wrote |= any; else read |= any;
    }
  };
  // The write uses the data as it arrived; the read then replaces it.
  if (want_write) for_each(true);
  if (want_read) for_each(false);
  // LRD and LWR count 1 per board that took part; only the read/write
  // command counts its write half twice (+1 read, +2 write, +3 both).
  uint16_t add = 0;
  if (cmd == 0x0C) {
    add = static_cast<uint16_t>((read ? 1 : 0) + (wrote ? 2 : 0));
  } else if (read || wrote) {
    add = 1;
  }
  *wkc = static_cast<uint16_t>(*wkc + add);
}

// ---------------------------------------------------------------------------
// Memory access

bool Esc::Read(uint32_t addr, uint8_t* dst, uint32_t len, bool merge_or) {
  if (len == 0 || addr >= kAddressSpace) return false;
  const uint32_t end = std::min<uint32_t>(addr + len, kAddressSpace);
  bool any = false;
  if (addr < kRegSpace) {
    const uint32_t rend = std::min(end, kRegSpace);
    RefreshDynamic(addr, rend);
    if (merge_or) {
      for (uint32_t a = addr; a < rend; ++a) dst[a - addr] |= mem_[a];
    } else {
      std::memcpy(dst, &mem_[addr], rend - addr);
    }
    any = true;
  }
  if (end > kRamStart) {
    const uint32_t r0 = std::max(addr, kRamStart);
    any |= RamAccess(r0, dst + (r0 - addr), end - r0, false, merge_or);
  }
  return any;
}

bool Esc::Write(uint32_t addr, const uint8_t* src, uint32_t len) {
  if (len == 0 || addr >= kAddressSpace) return false;
  const uint32_t end = std::min<uint32_t>(addr + len, kAddressSpace);
  bool any = false;
  if (addr < kRegSpace) {
    const uint32_t rend = std::min(end, kRegSpace);
    const auto& m = Masks().m;
    for (uint32_t a = addr; a < rend; ++a) {
      if (!settings_.dc && a >= kRegRecvTime && a < 0x0A00) continue;
      mem_[a] = static_cast<uint8_t>((mem_[a] & ~m[a]) | (src[a - addr] & m[a]));
    }
    any = true;
    AfterRegisterWrite(addr, rend, src);
  }
  if (end > kRamStart) {
    const uint32_t r0 = std::max(addr, kRamStart);
    any |= RamAccess(r0, const_cast<uint8_t*>(src + (r0 - addr)), end - r0, true, false);
  }
  return any;
}

bool Esc::RamAccess(uint32_t addr, uint8_t* buf, uint32_t len, bool write, bool merge_or) {
  const uint32_t end = std::min(addr + len, kMemSize);
  bool any = false;
  uint32_t p = addr;
  while (p < end) {
    int hit = -1;
    uint32_t seg_end = end;
    for (int i = 0; i < kSms; ++i) {
      const SmView& s = sm_[i];
      if (s.length == 0) continue;
      const uint32_t a = s.start, b = a + s.length;
      if (p >= a && p < b) {
        if (hit < 0) {
          hit = i;
          seg_end = std::min(seg_end, b);
        }
      } else if (a > p) {
        seg_end = std::min(seg_end, a);
      }
    }
    bool ok = true;
    if (hit >= 0) {
      const SmView& s = sm_[hit];
      const bool ecat_writes = ((s.control >> 2) & 0x03) == 0x01;
      // The firmware releases the process-data buffers in SAFE_OP and OP only.
      ok = s.enabled && state_ >= kSafeOp && !(write && !ecat_writes) &&
           !(write && state_ == kSafeOp && !settings_.outputs_count_in_safe_op);
    }
    if (ok) {
      if (hit >= 0 && !app_ran_) RunApplication();
      uint8_t* b = buf + (p - addr);
      if (write) {
        std::memcpy(&mem_[p], b, seg_end - p);
      } else if (merge_or) {
        for (uint32_t a = p; a < seg_end; ++a) b[a - p] |= mem_[a];
      } else {
        std::memcpy(b, &mem_[p], seg_end - p);
      }
      any = true;
      if (write && hit >= 0 && seg_end == static_cast<uint32_t>(sm_[hit].start) + sm_[hit].length &&
          sm_[hit].start == settings_.sii.output_start && settings_.sii.output_bytes > 0) {
        OutputsCommitted();
      }
    }
    p = seg_end;
  }
  return any;
}

void Esc::RefreshDynamic(uint32_t addr, uint32_t end) {
  if (!settings_.dc || !Overlaps(addr, end, kRegRecvTime, 0x0A00)) return;
  if (Overlaps(addr, end, kRegSysTime, kRegSysTime + 8)) PutLe64(&mem_[kRegSysTime], SystemTime(now_));
  if (sync0_running_ && Overlaps(addr, end, kRegStartTime, kRegStartTime + 8)) {
    PutLe64(&mem_[kRegStartTime], NextSync0(SystemTime(now_)));
  }
  if (Overlaps(addr, end, kRegSync0Status, kRegSync0Status + 1)) {
    mem_[kRegSync0Status] = sync0_running_ && SystemTime(now_) >= sync0_start_ ? 0x01 : 0x00;
  }
}

void Esc::AfterRegisterWrite(uint32_t addr, uint32_t end, const uint8_t* src) {
  CountersWritten(addr, end);
  if (Overlaps(addr, end, kRegEepControl + 1, kRegEepControl + 2)) eeprom_pending_ = true;
  if (Overlaps(addr, end, kRegFmmu, kRegFmmu + 16 * kFmmus)) DecodeFmmu();
  if (Overlaps(addr, end, kRegSm, kRegSm + 8 * kSms)) DecodeSm();
  if (settings_.dc) {
    if (addr <= kRegRecvTime && end > kRegRecvTime) latch_pending_ = true;
    if (addr <= kRegSysTime && end > kRegSysTime) {
      SystemTimeWritten(src + (kRegSysTime - addr), std::min<uint32_t>(end - kRegSysTime, 8));
    }
    if (Overlaps(addr, end, kRegSysOffset, kRegSysOffset + 8)) {
      // A new offset restarts the time control loop.
      ctrl_ns_ = 0;
      ctrl_rate_ppb_ = 0;
      ctrl_t_ = now_;
      last_time_write_ = 0;
    }
    if (Overlaps(addr, end, kRegActivation, kRegActivation + 1)) ActivationWritten();
  }
  if (Overlaps(addr, end, kRegAlControl, kRegAlControl + 2)) AlControlWritten();
}

void Esc::DecodeSm() {
  for (int i = 0; i < kSms; ++i) {
    const uint8_t* r = &mem_[kRegSm + 8 * i];
    SmView& s = sm_[i];
    s.start = Le16(r);
    s.length = Le16(r + 2);
    s.control = r[4];
    s.enabled = r[6] & 0x01;
  }
}

void Esc::DecodeFmmu() {
  active_fmmus_ = 0;
  for (int i = 0; i < kFmmus; ++i) {
    const uint8_t* r = &mem_[kRegFmmu + 16 * i];
    FmmuView& f = fmmu_[i];
    f.log_start = Le32(r);
    f.log_length = Le16(r + 4);
    f.log_start_bit = r[6] & 0x07;
    f.log_end_bit = r[7] & 0x07;
    f.phys_start = Le16(r + 8);
    f.phys_start_bit = r[10] & 0x07;
    f.type = r[11] & 0x03;
    f.active = (r[12] & 0x01) && f.log_length > 0 && f.type != 0;
    if (f.active) ++active_fmmus_;
  }
}

}  // namespace dcusim

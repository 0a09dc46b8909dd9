// Master: lifetime, datagram helpers and the application-layer state calls.
#include "master.h"

#include <algorithm>
#include <cstring>

#include "clock.h"
#include "esc_registers.h"

namespace ecmaster {

Master::Master(const Records& records)
    : slave_(records.slave),
      slavecount_(records.slavecount),
      group_(records.group),
      dctime_(records.dctime) {
  context_.master = this;
  SiiCacheClear();
  for (int i = 0; i < EC_MAXBUF; ++i) pending_[i] = Pending{-1, nullptr, 0, 0, false};
  for (auto& st : dc_station_) st.store(0, std::memory_order_relaxed);
}

Master::~Master() { Close(); }

bool Master::Open(std::unique_ptr<Transport> transport) {
  Close();
  if (!transport) return false;
  transport_ = std::move(transport);
  port_.Attach(transport_.get());
  return true;
}

void Master::Close() {
  port_.Attach(nullptr);
  transport_.reset();
  npending_ = 0;
  SiiCacheClear();
}

int Master::Write8(uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t value,
                   int timeout_us) {
  return Xfer(cmd, adp, ado, 1, &value, timeout_us);
}

int Master::Write16(uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t value,
                    int timeout_us) {
  uint8_t d[2];
  PutLe16(d, value);
  return Xfer(cmd, adp, ado, 2, d, timeout_us);
}

uint16_t Master::Read16(uint8_t cmd, uint16_t adp, uint16_t ado,
                        int timeout_us, int* wkc) {
  uint8_t d[2] = {0, 0};
  const int w = Xfer(cmd, adp, ado, 2, d, timeout_us);
  if (wkc != nullptr) *wkc = w;
  return w > 0 ? GetLe16(d) : 0;
}

uint16 Master::StateCheck(uint16 slave, uint16 reqstate, int timeout_us) {
  if (slave > *slavecount_ || slave >= EC_MAXSLAVE) return 0;
  const int64_t end = MonotonicNs() + static_cast<int64_t>(timeout_us) * 1000;
  uint16_t state;
  for (;;) {
    if (slave < 1) {
      uint8_t d[2] = {0, 0};
      const int wkc =
          Xfer(EC_CMD_BRD, 0, reg::kAlStatus, sizeof d, d, EC_TIMEOUTRET);
      state = wkc > 0 ? GetLe16(d) : 0;
    } else {
      // AL status, reserved word and AL status code in one read.
      uint8_t d[6] = {0};
      const int wkc = Xfer(EC_CMD_FPRD, slave_[slave].configadr,
                           reg::kAlStatus, sizeof d, d, EC_TIMEOUTRET);
      state = wkc > 0 ? GetLe16(d) : 0;
      slave_[slave].ALstatuscode = wkc > 0 ? GetLe16(d + 4) : 0;
    }
    slave_[slave].state = state;
    if ((state & 0x0F) == reqstate) break;
    SleepUs(1000);
    if (MonotonicNs() >= end) break;
  }
  return state & 0x0F;
}

int Master::ReadState() {
  const int n = *slavecount_;
  uint8_t d[2] = {0, 0};
  const int wkc = Xfer(EC_CMD_BRD, 0, reg::kAlStatus, sizeof d, d, EC_TIMEOUTRET);
  const uint16_t all = wkc > 0 ? GetLe16(d) : 0;
  const uint16_t common = all & 0x0F;
  const bool valid_state = common == EC_STATE_INIT || common == EC_STATE_PRE_OP ||
                           common == EC_STATE_BOOT || common == EC_STATE_SAFE_OP ||
                           common == EC_STATE_OPERATIONAL;
  if (n > 0 && wkc >= n && !(all & EC_STATE_ERROR) && valid_state) {
    // Every slave answered with the same state and no error.
    for (int k = 1; k <= n; ++k) {
      slave_[k].state = common;
      slave_[k].ALstatuscode = 0;
    }
    slave_[0].state = common;
    slave_[0].ALstatuscode = 0;
    return common;
  }

  // Read every slave's status in frames of up to 64 datagrams.
  constexpr int kChunk = 64;
  slave_[0].ALstatuscode = 0;
  uint16_t lowest = n > 0 ? 0xFF : 0;
  for (int first = 1; first <= n; first += kChunk) {
    const int last = std::min(n, first + kChunk - 1);
    size_t offs[kChunk];
    const int idx = port_.Claim();
    int fwkc = EC_NOFRAME;
    if (idx >= 0) {
      for (int k = first; k <= last; ++k) {
        offs[k - first] =
            k == first
                ? port_.Setup(idx, EC_CMD_FPRD, slave_[k].configadr, reg::kAlStatus, 6, nullptr)
                : port_.Append(idx, EC_CMD_FPRD, slave_[k].configadr, reg::kAlStatus, 6, nullptr);
      }
      fwkc = port_.Exchange(idx, EC_TIMEOUTRET3);
    }
    for (int k = first; k <= last; ++k) {
      uint16_t st = 0, code = 0;
      if (fwkc >= 0 && offs[k - first] != 0) {
        const uint8_t* p = port_.RxFrame(idx) + offs[k - first];
        st = GetLe16(p);
        code = GetLe16(p + 4);
      }
      slave_[k].state = st;
      slave_[k].ALstatuscode = code;
      slave_[0].ALstatuscode |= code;
      lowest = std::min<uint16_t>(lowest, st & 0x0F);
    }
    port_.Release(idx);
  }
  slave_[0].state = lowest;
  return lowest;
}

int Master::WriteState(uint16 slave) {
  if (slave >= EC_MAXSLAVE) return 0;
  if (slave == 0) {
    return Write16(EC_CMD_BWR, 0, reg::kAlControl, slave_[0].state, EC_TIMEOUTRET3);
  }
  return Write16(EC_CMD_FPWR, slave_[slave].configadr, reg::kAlControl,
                 slave_[slave].state, EC_TIMEOUTRET3);
}

}  // namespace ecmaster

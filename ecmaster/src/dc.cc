// Distributed clocks: propagation delays, system time offsets, SYNC0.
#include <ctime>

#include "esc_registers.h"
#include "master.h"

namespace ecmaster {

namespace {

// Seconds from 1970-01-01 to 2000-01-01, the epoch of EtherCAT system time.
constexpr uint32_t kEpochOffsetSec = 946684800u;
constexpr uint64_t kSync0StartDelayNs = 100000000ULL;  // 100 ms
// Order in which the ports of an ESC see a frame: 0, 3, 1, 2.
constexpr int kPortOrder[4] = {0, 3, 1, 2};

// Master time in EtherCAT system-time units. The monotonic clock is used
// (as seconds since 2000 in 32 bits, so the value wraps around).
uint64_t MasterTimeNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint32_t sec = static_cast<uint32_t>(ts.tv_sec) - kEpochOffsetSec;
  return static_cast<uint64_t>(sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

int32_t PortTime(const ec_slavet& s, int port) {
  switch (port) {
    case 0: return s.DCrtA;
    case 1: return s.DCrtB;
    case 2: return s.DCrtC;
    default: return s.DCrtD;
  }
}

bool PortActive(const ec_slavet& s, int port) { return (s.activeports >> port) & 1; }

// The active port a frame passes before it reaches `port` in the order
// 0 -> 3 -> 1 -> 2; `port` itself when no other port is active.
int PreviousPort(const ec_slavet& s, int port) {
  int i = 0;
  while (kPortOrder[i] != port) ++i;
  for (int step = 1; step < 4; ++step) {
    const int q = kPortOrder[(i - step + 4) % 4];
    if (PortActive(s, q)) return q;
  }
  return port;
}

// The port where frames enter: the active port with the earliest latch.
int EntryPort(const ec_slavet& s) {
  int entry = -1;
  int32_t best = 0;
  for (int p : kPortOrder) {
    if (!PortActive(s, p)) continue;
    const int32_t t = PortTime(s, p);
    if (entry < 0 || t < best) {
      entry = p;
      best = t;
    }
  }
  return entry < 0 ? 0 : entry;
}

// Takes the next unused port of a parent for a child (order 3, 1, 2, 0).
int TakeParentPort(ec_slavet& parent) {
  for (int p : {3, 1, 2, 0}) {
    if (parent.consumedports & (1u << p)) {
      parent.consumedports = static_cast<uint8>(parent.consumedports & ~(1u << p));
      return p;
    }
  }
  return parent.entryport;
}

// Works out the propagation delay from the reference clock to slave k
// (slaves[k].pdelay) from the port receive times latched by one frame; false
// for a slave without an ancestor that has a clock (its delay is 0 and is not
// written).
bool SetPropagationDelay(ec_slavet* slaves, int k) {
  ec_slavet& s = slaves[k];
  // Nearest ancestor with a clock.
  uint16 parent = s.parent;
  while (parent > 0 && !slaves[parent].hasdc) parent = slaves[parent].parent;
  if (parent == 0) {
    s.pdelay = 0;
    return false;
  }
  ec_slavet& ps = slaves[parent];
  s.parentport = static_cast<uint8>(TakeParentPort(ps));
  // dt3: time the frame spent behind the parent's port toward this slave.
  const int32_t dt3 = PortTime(ps, s.parentport) - PortTime(ps, PreviousPort(ps, s.parentport));
  // dt1: time spent behind this slave's own onward ports.
  int32_t dt1 = 0;
  if (s.topology > 1) {
    dt1 = PortTime(s, PreviousPort(s, s.entryport)) - PortTime(s, s.entryport);
  }
  if (dt1 > dt3) dt1 = -dt1;
  // dt2: branches of earlier siblings the frame passed before this one.
  int32_t dt2 = 0;
  for (int j = parent + 1; j < k; ++j) {
    if (slaves[j].parent == s.parent) {
      dt2 = PortTime(ps, PreviousPort(ps, s.parentport)) - PortTime(ps, ps.entryport);
      if (dt2 < 0) dt2 = -dt2;
      break;
    }
  }
  s.pdelay = (dt3 - dt1) / 2 + dt2 + ps.pdelay;
  return true;
}

}  // namespace

bool Master::ConfigDc() {
  slave_[0].hasdc = FALSE;
  for (int g = 0; g < EC_MAXGROUP; ++g) group_[g].hasdc = FALSE;
  const uint8_t zeros[4] = {0};
  // Every ESC latches the receive time of this frame at each port.
  Xfer(EC_CMD_BWR, 0, reg::kDcRecvTimePort0, sizeof zeros, const_cast<uint8_t*>(zeros),
       EC_TIMEOUTRET);
  const uint64_t mastertime = MasterTimeNs();

  const int n = *slavecount_;
  uint16 prev_dc = 0;
  for (int k = 1; k <= n; ++k) {
    ec_slavet& s = slave_[k];
    s.consumedports = s.activeports;
    if (!s.hasdc) {
      s.DCrtA = s.DCrtB = s.DCrtC = s.DCrtD = 0;
      continue;
    }
    if (!slave_[0].hasdc) {
      // The first DC slave is the reference clock.
      slave_[0].hasdc = TRUE;
      slave_[0].DCnext = static_cast<uint16>(k);
      s.DCprevious = 0;
      group_[s.group].hasdc = TRUE;
      group_[s.group].DCnext = static_cast<uint16>(k);
      dc_station_[s.group].store(s.configadr, std::memory_order_relaxed);
    } else {
      slave_[prev_dc].DCnext = static_cast<uint16>(k);
      s.DCprevious = prev_dc;
    }
    prev_dc = static_cast<uint16>(k);

    uint8_t d[8] = {0};
    Xfer(EC_CMD_FPRD, s.configadr, reg::kDcRecvTimePort0, 4, d, EC_TIMEOUTRET);
    s.DCrtA = static_cast<int32>(GetLe32(d));
    uint8_t t[8] = {0};
    Xfer(EC_CMD_FPRD, s.configadr, reg::kDcRecvTimeUnit, 8, t, EC_TIMEOUTRET);
    uint8_t off[8];
    PutLe64(off, mastertime - GetLe64(t));
    Xfer(EC_CMD_FPWR, s.configadr, reg::kDcSystemTimeOffset, 8, off, EC_TIMEOUTRET);
    uint8_t r[4] = {0};
    Xfer(EC_CMD_FPRD, s.configadr, reg::kDcRecvTimePort1, 4, r, EC_TIMEOUTRET);
    s.DCrtB = static_cast<int32>(GetLe32(r));
    r[0] = r[1] = r[2] = r[3] = 0;
    Xfer(EC_CMD_FPRD, s.configadr, reg::kDcRecvTimePort2, 4, r, EC_TIMEOUTRET);
    s.DCrtC = static_cast<int32>(GetLe32(r));
    r[0] = r[1] = r[2] = r[3] = 0;
    Xfer(EC_CMD_FPRD, s.configadr, reg::kDcRecvTimePort3, 4, r, EC_TIMEOUTRET);
    s.DCrtD = static_cast<int32>(GetLe32(r));

    s.entryport = static_cast<uint8>(EntryPort(s));
    s.consumedports = static_cast<uint8>(s.consumedports & ~(1u << s.entryport));

    if (!SetPropagationDelay(slave_, k)) continue;
    uint8_t pd[4];
    PutLe32(pd, static_cast<uint32_t>(s.pdelay));
    Xfer(EC_CMD_FPWR, s.configadr, reg::kDcSystemTimeDelay, 4, pd, EC_TIMEOUTRET);
  }
  return slave_[0].hasdc;
}

void Master::DcSync0(uint16 slave, bool act, uint32 cycle_ns, int32 shift_ns) {
  if (slave < 1 || slave > *slavecount_ || slave >= EC_MAXSLAVE) return;
  ec_slavet& s = slave_[slave];
  Write8(EC_CMD_FPWR, s.configadr, reg::kDcActivation, 0, EC_TIMEOUTRET);
  Write8(EC_CMD_FPWR, s.configadr, reg::kDcCyclicUnitControl, 0, EC_TIMEOUTRET);
  uint8_t d[8] = {0};
  Xfer(EC_CMD_FPRD, s.configadr, reg::kDcSystemTime, 8, d, EC_TIMEOUTRET);
  const uint64_t t1 = GetLe64(d);
  // First pulse on a whole cycle 100..200 ms ahead, plus the shift.
  uint64_t start;
  if (cycle_ns > 0) {
    start = ((t1 + kSync0StartDelayNs) / cycle_ns) * cycle_ns + cycle_ns;
  } else {
    start = t1 + kSync0StartDelayNs;
  }
  start += static_cast<uint64_t>(static_cast<int64_t>(shift_ns));
  uint8_t st[8];
  PutLe64(st, start);
  Xfer(EC_CMD_FPWR, s.configadr, reg::kDcSync0StartTime, 8, st, EC_TIMEOUTRET);
  uint8_t cyc[4];
  PutLe32(cyc, cycle_ns);
  Xfer(EC_CMD_FPWR, s.configadr, reg::kDcSync0CycleTime, 4, cyc, EC_TIMEOUTRET);
  Write8(EC_CMD_FPWR, s.configadr, reg::kDcActivation, act ? 0x03 : 0x00, EC_TIMEOUTRET);
  s.DCactive = act ? 1 : 0;
  s.DCshift = shift_ns;
  s.DCcycle = static_cast<int32>(cycle_ns);
}

}  // namespace ecmaster

// Discovery (station addresses, identity, SII) and process-data mapping.
#include <algorithm>
#include <cstring>

#include "esc_registers.h"
#include "master.h"

namespace ecmaster {

namespace {

constexpr uint8_t kInitAck = EC_STATE_INIT | EC_STATE_ACK;
constexpr uint8_t kPreOpAck = EC_STATE_PRE_OP | EC_STATE_ACK;
constexpr uint32_t kMaxSegmentBytes = EC_MAXLRWDATA - EC_FIRSTDCDATAGRAM;
constexpr uint32_t kSmEnable = 0x00010000;
// Default SyncManager flags of the two mailbox SMs.
constexpr uint32_t kMailboxWriteSmFlags = 0x00010026;
constexpr uint32_t kMailboxReadSmFlags = 0x00010022;
// Walks over the SII per slave and purpose: a walk whose EEPROM reads did
// not all succeed is repeated (the bytes already read are cached).
constexpr int kSiiPasses = 3;

uint16_t AutoIncAddress(uint16 slave) { return static_cast<uint16_t>(1 - slave); }

void PutSm(uint8_t* p, const ec_smt& sm) {
  PutLe16(p, sm.StartAddr);
  PutLe16(p + 2, sm.SMlength);
  PutLe32(p + 4, sm.SMflags);
}

}  // namespace

void PutFmmu(uint8_t* p, const ec_fmmut& f) {
  PutLe32(p, f.LogStart);
  PutLe16(p + 4, f.LogLength);
  p[6] = f.LogStartbit;
  p[7] = f.LogEndbit;
  PutLe16(p + 8, f.PhysStart);
  p[10] = f.PhysStartBit;
  p[11] = f.FMMUtype;
  p[12] = f.FMMUactive;
  p[13] = f.unused1;
  PutLe16(p + 14, f.unused2);
}

bool Master::SameIdentity(uint16 a, uint16 b) const {
  return slave_[a].eep_man == slave_[b].eep_man && slave_[a].eep_id == slave_[b].eep_id &&
         slave_[a].eep_rev == slave_[b].eep_rev;
}

uint16 Master::SiiTwin(uint16 slave, bool pdo) const {
  if (!sii_read_[slave].identity) return 0;
  for (uint16 j = 1; j < slave; ++j) {
    const SiiRead& r = sii_read_[j];
    if (r.identity && (pdo ? r.pdo : r.parsed) && SameIdentity(j, slave)) return j;
  }
  return 0;
}

// The parent of a slave is the nearest earlier slave with a free port once
// every branch that ended in between is accounted for.
void Master::FindParent(uint16 slave) {
  slave_[slave].parent = 0;
  int open = 0;
  for (int j = slave - 1; j >= 1; --j) {
    const uint8_t topo = slave_[j].topology;
    if (topo == 1) --open;        // end of a branch
    if (topo == 3) ++open;        // junction with one more port
    if (topo == 4) open += 2;     // junction with two more ports
    if ((open >= 0 && topo > 1) || j == 1) {
      slave_[slave].parent = static_cast<uint16>(j);
      return;
    }
  }
}

int Master::ConfigInit() {
  ClearRecords();
  if (!is_open()) return EC_NOFRAME;
  const int n = ResetAndCount();
  if (n <= 0) return n;
  WriteDefaults();
  AssignAddresses(n);
  ReadIdentities(n);
  for (int k = 1; k <= n; ++k) ConfigureSlave(static_cast<uint16>(k));
  return n;
}

void Master::ClearRecords() {
  std::memset(slave_, 0, sizeof(ec_slavet) * EC_MAXSLAVE);
  std::memset(group_, 0, sizeof(ec_groupt) * EC_MAXGROUP);
  for (int g = 0; g < EC_MAXGROUP; ++g) {
    group_[g].logstartaddr = static_cast<uint32>(g) << EC_LOGGROUPOFFSET;
  }
  *slavecount_ = 0;
  SiiCacheClear();
  std::memset(sii_read_, 0, sizeof sii_read_);
  for (auto& st : dc_station_) st.store(0, std::memory_order_relaxed);
}

// Reset: alias addressing off, INIT with acknowledge, then count. Returns
// the number of slaves (also stored in the slave count), or the failed
// count (0 or below), or EC_SLAVECOUNTEXCEEDED.
int Master::ResetAndCount() {
  Write8(EC_CMD_BWR, 0, reg::kDlControlAlias, 0, EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kAlControl, kInitAck, EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kAlControl, kInitAck, EC_TIMEOUTRET3);
  uint8_t cnt[2] = {0, 0};
  const int wkc = Xfer(EC_CMD_BRD, 0, reg::kType, sizeof cnt, cnt, EC_TIMEOUTSAFE);
  if (wkc <= 0) return wkc;
  if (wkc >= EC_MAXSLAVE) return EC_SLAVECOUNTEXCEEDED;
  *slavecount_ = wkc;
  return wkc;
}

// Defaults for all slaves.
void Master::WriteDefaults() {
  const uint8_t zeros[48] = {0};
  Write8(EC_CMD_BWR, 0, reg::kDlControlLoop, 0, EC_TIMEOUTRET3);
  Write16(EC_CMD_BWR, 0, reg::kEventMask, 0x0004, EC_TIMEOUTRET3);
  Xfer(EC_CMD_BWR, 0, reg::kRxErrorCounters, 8, const_cast<uint8_t*>(zeros), EC_TIMEOUTRET3);
  Xfer(EC_CMD_BWR, 0, reg::kFmmu0, 3 * reg::kFmmuSize, const_cast<uint8_t*>(zeros), EC_TIMEOUTRET3);
  Xfer(EC_CMD_BWR, 0, reg::kSm0, 4 * reg::kSmSize, const_cast<uint8_t*>(zeros), EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kDcActivation, 0, EC_TIMEOUTRET3);
  Xfer(EC_CMD_BWR, 0, reg::kDcSystemTime, 4, const_cast<uint8_t*>(zeros), EC_TIMEOUTRET3);
  Write16(EC_CMD_BWR, 0, reg::kDcSpeedCounterStart, 0x1000, EC_TIMEOUTRET3);
  Write16(EC_CMD_BWR, 0, reg::kDcTimeFilter, 0x0C00, EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kDlControlAlias, 0, EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kAlControl, kInitAck, EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kEepromConfig, 0x02, EC_TIMEOUTRET3);
  Write8(EC_CMD_BWR, 0, reg::kEepromConfig, 0x00, EC_TIMEOUTRET3);
}

// Station addresses, alias, EEPROM read size; first identity request.
void Master::AssignAddresses(int n) {
  for (int k = 1; k <= n; ++k) {
    ec_slavet& s = slave_[k];
    const uint16_t adp = AutoIncAddress(static_cast<uint16>(k));
    s.Itype = Read16(EC_CMD_APRD, adp, reg::kPdiControl, EC_TIMEOUTRET3);
    Write16(EC_CMD_APWR, adp, reg::kStationAddress, static_cast<uint16_t>(EC_NODEOFFSET + k),
            EC_TIMEOUTRET3);
    // The first slave drops non-EtherCAT frames.
    Write16(EC_CMD_APWR, adp, reg::kDlControl, k == 1 ? 1 : 0, EC_TIMEOUTRET3);
    int read = 0;
    s.configadr = Read16(EC_CMD_APRD, adp, reg::kStationAddress, EC_TIMEOUTRET3, &read);
    // A read-back lost on a noisy line is not address 0: the slave holds
    // what was written, or the next register access says it does not.
    if (read <= 0) s.configadr = static_cast<uint16>(EC_NODEOFFSET + k);
    s.aliasadr = Read16(EC_CMD_FPRD, s.configadr, reg::kStationAlias, EC_TIMEOUTRET3);
    if (Read16(EC_CMD_FPRD, s.configadr, reg::kEepromControl, EC_TIMEOUTRET3) & EC_ESTAT_R64) {
      s.eep_8byte = 1;
    }
    EepromRequestRead(s.configadr, ECT_SII_MANUF);
    sii_read_[k].identity = true;
  }
}

uint32_t Master::SiiResult(uint16 slave, uint16_t word, bool* ok) {
  uint32_t v = 0;
  if (!EepromReadResult(slave_[slave].configadr, word, &v) && ok != nullptr) *ok = false;
  return v;
}

// Identity and mailbox words, one request per slave in flight. A result is
// read again in full when it is not there or not that of its word. The
// mailbox words do not decide who is a twin: their failures are not kept.
void Master::ReadIdentities(int n) {
  for (uint16 k = 1; k <= n; ++k) {
    slave_[k].eep_man = SiiResult(k, ECT_SII_MANUF, &sii_read_[k].identity);
    EepromRequestRead(slave_[k].configadr, ECT_SII_ID);
  }
  for (uint16 k = 1; k <= n; ++k) {
    slave_[k].eep_id = SiiResult(k, ECT_SII_ID, &sii_read_[k].identity);
    EepromRequestRead(slave_[k].configadr, ECT_SII_REV);
  }
  for (uint16 k = 1; k <= n; ++k) {
    slave_[k].eep_rev = SiiResult(k, ECT_SII_REV, &sii_read_[k].identity);
    EepromRequestRead(slave_[k].configadr, ECT_SII_RXMBXADR);
  }
  for (uint16 k = 1; k <= n; ++k) {
    ec_slavet& s = slave_[k];
    const uint32_t v = SiiResult(k, ECT_SII_RXMBXADR, nullptr);
    s.mbx_wo = static_cast<uint16>(v & 0xFFFF);
    s.mbx_l = static_cast<uint16>(v >> 16);
    if (s.mbx_l > 0) EepromRequestRead(s.configadr, ECT_SII_TXMBXADR);
  }
}

// The rest of one slave's discovery, ending with its request for PRE_OP.
// The EEPROM read of the mailbox protocols runs while the links are read.
void Master::ConfigureSlave(uint16 k) {
  ec_slavet& s = slave_[k];
  if (s.mbx_l > 0) {
    const uint32_t v = SiiResult(k, ECT_SII_TXMBXADR, nullptr);
    s.mbx_ro = static_cast<uint16>(v & 0xFFFF);
    s.mbx_rl = static_cast<uint16>(v >> 16);
    if (s.mbx_rl == 0) s.mbx_rl = s.mbx_l;
    EepromRequestRead(s.configadr, ECT_SII_MBXPROTO);
  }
  ReadLinks(k);
  if (s.mbx_l > 0) {
    s.SM[0] = ec_smt{s.mbx_wo, s.mbx_l, kMailboxWriteSmFlags};
    s.SM[1] = ec_smt{s.mbx_ro, s.mbx_rl, kMailboxReadSmFlags};
    s.SMtype[0] = 1;
    s.SMtype[1] = 2;
    s.SMtype[2] = 3;
    s.SMtype[3] = 4;
    s.mbx_proto = static_cast<uint16>(SiiResult(k, ECT_SII_MBXPROTO, nullptr) & 0xFFFF);
  }
  TakeSiiContents(k);
  StartMailboxAndPreOp(k);
}

// Distributed clock, active ports, parent, and the wait for INIT.
void Master::ReadLinks(uint16 k) {
  ec_slavet& s = slave_[k];
  if (Read16(EC_CMD_FPRD, s.configadr, reg::kEscFeatures, EC_TIMEOUTRET3) & 0x0004) {
    s.hasdc = TRUE;
  }
  // A port is active when its loop is open and it has communication.
  const uint16_t dl = Read16(EC_CMD_FPRD, s.configadr, reg::kDlStatus, EC_TIMEOUTRET3);
  s.topology = 0;
  s.activeports = 0;
  for (int port = 0; port < 4; ++port) {
    if (((dl >> (8 + 2 * port)) & 0x3) == 0x2) {
      s.topology++;
      s.activeports |= static_cast<uint8>(1u << port);
    }
  }
  s.ptype = static_cast<uint8>(
      Read16(EC_CMD_FPRD, s.configadr, reg::kPortDescriptor, EC_TIMEOUTRET3) & 0xFF);
  FindParent(k);
  StateCheck(k, EC_STATE_INIT, EC_TIMEOUTSTATE);
}

// Identical slaves share the SII contents of the first one that was read
// completely; the others read their own.
void Master::TakeSiiContents(uint16 k) {
  ec_slavet& s = slave_[k];
  const uint16 twin = SiiTwin(k, false);
  if (twin != 0) {
    const ec_slavet& t = slave_[twin];
    std::memcpy(s.name, t.name, sizeof s.name);
    std::memcpy(s.SM, t.SM, sizeof s.SM);
    s.FMMU0func = t.FMMU0func;
    s.FMMU1func = t.FMMU1func;
    s.FMMU2func = t.FMMU2func;
    s.FMMU3func = t.FMMU3func;
    s.CoEdetails = t.CoEdetails;
    s.FoEdetails = t.FoEdetails;
    s.EoEdetails = t.EoEdetails;
    s.SoEdetails = t.SoEdetails;
    s.blockLRW = t.blockLRW;
    s.Ebuscurrent = t.Ebuscurrent;
    sii_read_[k].parsed = true;
  } else {
    for (int pass = 0; pass < kSiiPasses && !sii_read_[k].parsed; ++pass) {
      sii_read_[k].parsed = SiiParse(k);
    }
  }
  if (s.blockLRW) slave_[0].blockLRW++;
  slave_[0].Ebuscurrent = static_cast<int16>(slave_[0].Ebuscurrent + s.Ebuscurrent);
}

// Mailbox SyncManagers, EEPROM to the slave's application, and the request
// for PRE_OP (with acknowledge; reached later, checked by the caller).
void Master::StartMailboxAndPreOp(uint16 k) {
  ec_slavet& s = slave_[k];
  if (s.mbx_l > 0) {
    uint8_t sms[2 * reg::kSmSize];
    PutSm(sms, s.SM[0]);
    PutSm(sms + reg::kSmSize, s.SM[1]);
    Xfer(EC_CMD_FPWR, s.configadr, reg::kSm0, sizeof sms, sms, EC_TIMEOUTRET3);
  }
  Write8(EC_CMD_FPWR, s.configadr, reg::kEepromConfig, 0x01, EC_TIMEOUTRET3);
  s.eep_pdi = 1;
  Write16(EC_CMD_FPWR, s.configadr, reg::kAlControl, kPreOpAck, EC_TIMEOUTRET3);
}

// Maps the outputs (or inputs) of one slave at the current logical address:
// one FMMU per run of adjacent SyncManagers of the matching type.
void Master::MapDirection(uint16 slave, bool outputs, uint8* iomap, uint8 g,
                          uint32* logaddr, uint32* segment_size,
                          uint16* segment) {
  ec_slavet& s = slave_[slave];
  ec_groupt& grp = group_[g];
  const uint8_t smtype = outputs ? 3 : 4;
  const uint32_t bits = outputs ? s.Obits : s.Ibits;
  const uint32_t extent_before = *logaddr;
  bool first = true;

  int n = 0;
  while (n < EC_MAXSM) {
    if (s.SMtype[n] != smtype || s.SM[n].SMlength == 0) {
      ++n;
      continue;
    }
    const uint16_t phys = s.SM[n].StartAddr;
    uint32_t len = s.SM[n].SMlength;
    ++n;
    while (n < EC_MAXSM && s.SMtype[n] == smtype && s.SM[n].SMlength != 0 &&
           s.SM[n].StartAddr == phys + len) {
      len += s.SM[n].SMlength;
      ++n;
    }
    if (s.FMMUunused >= EC_MAXFMMU) break;

    ec_fmmut& f = s.FMMU[s.FMMUunused];
    std::memset(&f, 0, sizeof f);
    f.LogStart = *logaddr;
    f.PhysStart = phys;
    f.PhysStartBit = 0;
    f.FMMUtype = outputs ? 2 : 1;
    f.FMMUactive = 1;
    if (bits < 8) {
      // Fewer than 8 bits: one logical byte of its own, the used bits
      // marked by the end bit.
      f.LogStartbit = 0;
      f.LogEndbit = static_cast<uint8>(bits ? bits - 1 : 0);
      f.LogLength = 1;
    } else {
      f.LogStartbit = 0;
      f.LogEndbit = 7;
      f.LogLength = static_cast<uint16>(len);
    }
    uint8_t img[reg::kFmmuSize];
    PutFmmu(img, f);
    Xfer(EC_CMD_FPWR, s.configadr,
         static_cast<uint16_t>(reg::kFmmu0 + reg::kFmmuSize * s.FMMUunused), sizeof img, img,
         EC_TIMEOUTRET3);
    s.FMMUunused++;
    if (outputs) {
      grp.outputsWKC++;
    } else if (f.LogLength != 0) {
      grp.inputsWKC++;
    }
    if (first) {
      uint8* at = iomap + (*logaddr - grp.logstartaddr);
      if (outputs) {
        s.outputs = at;
        s.Ostartbit = 0;
      } else {
        s.inputs = at;
        s.Istartbit = 0;
      }
      first = false;
    }
    *logaddr += f.LogLength;
    if (bits < 8) break;
  }

  // Frames are cut only between slaves; an area that does not fit a frame
  // of its own is spread over as many frames as it needs.
  uint32_t diff = *logaddr - extent_before;
  if (diff == 0) return;
  if (*segment_size + diff > kMaxSegmentBytes && *segment_size > 0 &&
      *segment < EC_MAXIOSEGMENTS - 1) {
    grp.IOsegment[(*segment)++] = *segment_size;
    *segment_size = 0;
  }
  *segment_size += diff;
  while (*segment_size > kMaxSegmentBytes && *segment < EC_MAXIOSEGMENTS - 1) {
    grp.IOsegment[(*segment)++] = kMaxSegmentBytes;
    *segment_size -= kMaxSegmentBytes;
  }
}

int Master::ConfigMap(void* iomap_ptr, uint8 g) {
  if (g >= EC_MAXGROUP || iomap_ptr == nullptr) return 0;
  ResetGroup(g);
  PrepareForMapping(g);
  // Sizes from the SII PDO categories, then the SyncManagers.
  for (int k = 1; k <= *slavecount_; ++k) {
    if (slave_[k].group != g) continue;
    ReadPdoSizes(static_cast<uint16>(k));
    WriteSyncManagers(static_cast<uint16>(k));
  }
  MapGroup(static_cast<uint8*>(iomap_ptr), g);
  const ec_groupt& grp = group_[g];
  return static_cast<int>(grp.Obytes + grp.Ibytes);
}

void Master::ResetGroup(uint8 g) {
  ec_groupt& grp = group_[g];
  grp.nsegments = 0;
  grp.outputsWKC = 0;
  grp.inputsWKC = 0;
  grp.Isegment = 0;
  grp.Ioffset = 0;
  std::memset(grp.IOsegment, 0, sizeof grp.IOsegment);
}

// Waits for PRE_OP and lets the application adjust each slave.
void Master::PrepareForMapping(uint8 g) {
  for (int k = 1; k <= *slavecount_; ++k) {
    ec_slavet& s = slave_[k];
    if (s.group != g) continue;
    StateCheck(static_cast<uint16>(k), EC_STATE_PRE_OP, EC_TIMEOUTSTATE);
    if (s.PO2SOconfig) s.PO2SOconfig(static_cast<uint16>(k));
    if (s.PO2SOconfigx) s.PO2SOconfigx(&context_, static_cast<uint16>(k));
    // Without mailbox support the SII is the only source of the mapping.
    s.Obits = 0;
    s.Ibits = 0;
  }
}

// A twin supplies the sizes only to a slave whose SyncManager starts are
// known; otherwise the slave reads its own SII, and sizes are taken only
// from an SII that was read completely: a slave whose SyncManagers or PDOs
// cannot be read stays unmapped.
void Master::ReadPdoSizes(uint16 k) {
  ec_slavet& s = slave_[k];
  SiiRead& r = sii_read_[k];
  const uint16 twin = r.parsed ? SiiTwin(k, true) : 0;
  if (twin != 0) {
    const ec_slavet& t = slave_[twin];
    for (int m = 0; m < EC_MAXSM; ++m) {
      s.SM[m].SMlength = t.SM[m].SMlength;
      s.SMtype[m] = t.SMtype[m];
    }
    s.Obits = t.Obits;
    s.Ibits = t.Ibits;
    r.pdo = true;
    return;
  }
  const bool was_pdi = s.eep_pdi != 0;
  uint32_t ibits = 0, obits = 0;
  if (!r.parsed) {
    for (int pass = 0; pass < kSiiPasses && !r.parsed; ++pass) r.parsed = SiiParse(k);
    if (r.parsed) {
      if (s.blockLRW) slave_[0].blockLRW++;
      slave_[0].Ebuscurrent = static_cast<int16>(slave_[0].Ebuscurrent + s.Ebuscurrent);
    }
  }
  bool in_ok = false, out_ok = false;
  for (int pass = 0; pass < kSiiPasses && r.parsed && !in_ok; ++pass) {
    in_ok = SiiPdo(k, true, &ibits);
  }
  if (was_pdi) EepromToPdi(k);
  for (int pass = 0; pass < kSiiPasses && in_ok && !out_ok; ++pass) {
    out_ok = SiiPdo(k, false, &obits);
  }
  if (was_pdi) EepromToPdi(k);
  r.pdo = in_ok && out_ok;
  s.Ibits = r.pdo ? static_cast<uint16>(ibits) : 0;
  s.Obits = r.pdo ? static_cast<uint16>(obits) : 0;
}

// Writes the process-data SyncManagers (enabled when they carry data) and
// fixes the slave's byte sizes.
void Master::WriteSyncManagers(uint16 k) {
  ec_slavet& s = slave_[k];
  for (int m = 0; m < EC_MAXSM; ++m) {
    if (s.SM[m].StartAddr == 0) continue;
    if (m < 2) {
      // Mailbox SMs were written during discovery.
      if (s.mbx_l > 0) continue;
    } else if (s.SM[m].SMlength != 0) {
      s.SM[m].SMflags |= kSmEnable;
    } else {
      s.SM[m].SMflags &= EC_SMENABLEMASK;
    }
    uint8_t img[reg::kSmSize];
    PutSm(img, s.SM[m]);
    Xfer(EC_CMD_FPWR, s.configadr, static_cast<uint16_t>(reg::kSm0 + reg::kSmSize * m),
         sizeof img, img, EC_TIMEOUTRET3);
  }
  s.Obytes = s.Obits > 7 ? (s.Obits + 7u) / 8u : 0;
  s.Ibytes = s.Ibits > 7 ? (s.Ibits + 7u) / 8u : 0;
  s.FMMUunused = 0;
}

// Lays the outputs of every slave, then the inputs, into the image and
// requests SAFE_OP (reached later, checked by the caller).
void Master::MapGroup(uint8* iomap, uint8 g) {
  ec_groupt& grp = group_[g];
  const int n = *slavecount_;
  uint32_t logaddr = grp.logstartaddr;
  uint32_t segment_size = 0;
  uint16_t segment = 0;
  for (int k = 1; k <= n; ++k) {
    if (slave_[k].group != g || slave_[k].Obits == 0) continue;
    MapDirection(static_cast<uint16>(k), true, iomap, g, &logaddr, &segment_size, &segment);
  }
  grp.outputs = iomap;
  grp.Obytes = logaddr - grp.logstartaddr;
  grp.Isegment = segment;
  grp.Ioffset = static_cast<uint16>(segment_size);

  for (int k = 1; k <= n; ++k) {
    ec_slavet& s = slave_[k];
    if (s.group != g) continue;
    if (s.Ibits > 0) {
      MapDirection(static_cast<uint16>(k), false, iomap, g, &logaddr, &segment_size, &segment);
    }
    EepromToPdi(static_cast<uint16>(k));
    Write16(EC_CMD_FPWR, s.configadr, reg::kAlControl, EC_STATE_SAFE_OP, EC_TIMEOUTRET3);
  }
  grp.IOsegment[segment] = segment_size;
  grp.nsegments = segment_size > 0 || segment > 0 ? static_cast<uint16>(segment + 1) : 0;
  grp.inputs = iomap + grp.Obytes;
  grp.Ibytes = logaddr - grp.logstartaddr - grp.Obytes;

  if (g == 0) {
    slave_[0].outputs = grp.outputs;
    slave_[0].Obytes = grp.Obytes;
    slave_[0].inputs = grp.inputs;
    slave_[0].Ibytes = grp.Ibytes;
  }
}

}  // namespace ecmaster

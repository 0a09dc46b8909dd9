// Bringing a single slave back: reconfiguration after a state loss and
// recovery of a slave that lost its station address (power cycle).
#include "esc_registers.h"
#include "master.h"

namespace ecmaster {

namespace {
constexpr uint16_t kTempStation = EC_TEMPNODE;
constexpr uint16_t kNoAnswerAddress = 0xFFFE;
}  // namespace

int Master::ReconfigSlave(uint16 slave, int timeout_us) {
  if (slave < 1 || slave > *slavecount_ || slave >= EC_MAXSLAVE) return 0;
  ec_slavet& s = slave_[slave];
  // INIT without acknowledge.
  if (Write16(EC_CMD_FPWR, s.configadr, reg::kAlControl, EC_STATE_INIT, timeout_us) <= 0) {
    return 0;
  }
  if (!s.eep_pdi) {
    Write8(EC_CMD_FPWR, s.configadr, reg::kEepromConfig, 0x01, timeout_us);
    s.eep_pdi = 1;
  }
  uint16 state = StateCheck(slave, EC_STATE_INIT, EC_TIMEOUTSTATE);
  if (state != EC_STATE_INIT) return state;

  for (int n = 0; n < EC_MAXSM; ++n) {
    if (s.SM[n].StartAddr == 0) continue;
    uint8_t img[reg::kSmSize];
    PutLe16(img, s.SM[n].StartAddr);
    PutLe16(img + 2, s.SM[n].SMlength);
    PutLe32(img + 4, s.SM[n].SMflags);
    Xfer(EC_CMD_FPWR, s.configadr, static_cast<uint16_t>(reg::kSm0 + reg::kSmSize * n),
         sizeof img, img, timeout_us);
  }

  Write16(EC_CMD_FPWR, s.configadr, reg::kAlControl, EC_STATE_PRE_OP, timeout_us);
  state = StateCheck(slave, EC_STATE_PRE_OP, EC_TIMEOUTSTATE);
  if (state != EC_STATE_PRE_OP) return state;

  if (s.PO2SOconfig) s.PO2SOconfig(slave);

  Write16(EC_CMD_FPWR, s.configadr, reg::kAlControl, EC_STATE_SAFE_OP, timeout_us);
  state = StateCheck(slave, EC_STATE_SAFE_OP, EC_TIMEOUTSTATE);

  // FMMUs only now: the slave must reach SAFE_OP without them.
  for (int f = 0; f < s.FMMUunused && f < EC_MAXFMMU; ++f) {
    const ec_fmmut& m = s.FMMU[f];
    uint8_t img[reg::kFmmuSize];
    PutFmmu(img, m);
    Xfer(EC_CMD_FPWR, s.configadr, static_cast<uint16_t>(reg::kFmmu0 + reg::kFmmuSize * f),
         sizeof img, img, timeout_us);
  }
  return state;
}

int Master::RecoverSlave(uint16 slave, int timeout_us) {
  if (slave < 1 || slave > *slavecount_ || slave >= EC_MAXSLAVE) return 0;
  // A slave ahead whose controller stopped answering no longer counts
  // auto-increment positions, so a slave behind it that lost its address
  // now sits that many positions earlier. Look where it was configured
  // first, then where the lost slaves ahead of it moved it to.
  const int result = RecoverSlaveAt(slave, slave, timeout_us);
  if (result != 0) return result;
  int lost_ahead = 0;
  for (uint16 p = 1; p < slave; ++p) {
    if (slave_[p].islost) ++lost_ahead;
  }
  if (lost_ahead == 0) return 0;
  return RecoverSlaveAt(slave, static_cast<uint16_t>(slave - lost_ahead), timeout_us);
}

int Master::RecoverSlaveAt(uint16 slave, uint16_t position, int timeout_us) {
  ec_slavet& s = slave_[slave];
  const uint16_t adp = static_cast<uint16_t>(1 - position);

  int wkc = 0;
  uint16_t address = Read16(EC_CMD_APRD, adp, reg::kStationAddress, timeout_us, &wkc);
  if (wkc <= 0) address = kNoAnswerAddress;
  if (address == s.configadr) return 1;
  if (wkc <= 0 || address != 0) return 0;

  // A slave that came back without its address: park it at the temporary
  // address, check its identity, then give it its address back. The record
  // keeps its address throughout, so the cyclic path never sees a change.
  Write16(EC_CMD_FPWR, kTempStation, reg::kStationAddress, 0, 0);
  if (Write16(EC_CMD_APWR, adp, reg::kStationAddress, kTempStation, timeout_us) <= 0) {
    Write16(EC_CMD_FPWR, kTempStation, reg::kStationAddress, 0, timeout_us);
    return 0;
  }
  if (s.eep_pdi) {
    Write8(EC_CMD_FPWR, kTempStation, reg::kEepromConfig, 0x02, timeout_us);
    Write8(EC_CMD_FPWR, kTempStation, reg::kEepromConfig, 0x00, timeout_us);
    s.eep_pdi = 0;
  }

  bool same = false;
  int alias_wkc = 0;
  const uint16_t alias =
      Read16(EC_CMD_FPRD, kTempStation, reg::kStationAlias, timeout_us, &alias_wkc);
  if (alias_wkc > 0 && alias == s.aliasadr) {
    uint8_t d[8];
    const bool id_ok = EepromRead(kTempStation, ECT_SII_ID, EC_TIMEOUTEEP, d) > 0 &&
                       GetLe32(d) == s.eep_id;
    const bool man_ok = id_ok && EepromRead(kTempStation, ECT_SII_MANUF, EC_TIMEOUTEEP, d) > 0 &&
                        GetLe32(d) == s.eep_man;
    const bool rev_ok = man_ok && EepromRead(kTempStation, ECT_SII_REV, EC_TIMEOUTEEP, d) > 0 &&
                        GetLe32(d) == s.eep_rev;
    same = rev_ok;
  }
  if (same) {
    const int restored =
        Write16(EC_CMD_FPWR, kTempStation, reg::kStationAddress, s.configadr, timeout_us);
    return restored > 0 ? restored : 0;
  }
  Write16(EC_CMD_FPWR, kTempStation, reg::kStationAddress, 0, timeout_us);
  return 0;
}

}  // namespace ecmaster

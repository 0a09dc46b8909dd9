// SII EEPROM access: the ESC's EEPROM interface, the byte cache and the
// category parser.
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "esc_registers.h"
#include "master.h"

namespace ecmaster {

namespace {

constexpr int kEepromPollDelayUs = 200;
constexpr int kEepromNackDelayUs = 1000;
constexpr int kEepromAttempts = 3;
constexpr uint16_t kSiiCategoryEnd = 0xFFFF;
constexpr uint16_t kSiiFirstCategoryByte = ECT_SII_START * 2;
constexpr uint16_t kSiiRxPdo = ECT_SII_PDO + 1;

}  // namespace

// --- EEPROM interface ------------------------------------------------------

bool Master::EepromWaitIdle(uint16_t station, uint16_t* status,
                            int timeout_us) {
  const int64_t end = MonotonicNs() + static_cast<int64_t>(timeout_us) * 1000;
  bool first = true;
  do {
    if (!first) SleepUs(kEepromPollDelayUs);
    first = false;
    int wkc = 0;
    const uint16_t st =
        Read16(EC_CMD_FPRD, station, reg::kEepromControl, EC_TIMEOUTRET, &wkc);
    if (wkc > 0 && !(st & EC_ESTAT_BUSY)) {
      *status = st;
      return true;
    }
  } while (MonotonicNs() < end);
  return false;
}

bool Master::EepromRequestRead(uint16_t station, uint16_t word) {
  uint16_t st = 0;
  if (!EepromWaitIdle(station, &st, EC_TIMEOUTEEP)) return false;
  if (st & EC_ESTAT_EMASK) {
    Write16(EC_CMD_FPWR, station, reg::kEepromControl, EC_ECMD_NOP, EC_TIMEOUTRET);
  }
  // Command word and 32-bit word address in one write.
  uint8_t cmd[6];
  PutLe16(cmd, EC_ECMD_READ);
  PutLe32(cmd + 2, word);
  int wkc;
  int tries = 0;
  do {
    wkc = Xfer(EC_CMD_FPWR, station, reg::kEepromControl, sizeof cmd, cmd,
               EC_TIMEOUTRET);
  } while (wkc <= 0 && tries++ < EC_DEFAULTRETRIES);
  return wkc > 0;
}

uint32_t Master::EepromReadResult(uint16_t station) {
  uint16_t st = 0;
  if (!EepromWaitIdle(station, &st, EC_TIMEOUTEEP)) return 0;
  uint8_t d[4] = {0};
  int wkc;
  int tries = 0;
  do {
    wkc = Xfer(EC_CMD_FPRD, station, reg::kEepromData, sizeof d, d, EC_TIMEOUTRET);
  } while (wkc <= 0 && tries++ < EC_DEFAULTRETRIES);
  return wkc > 0 ? GetLe32(d) : 0;
}

// Full read from a word address: 4 or 8 bytes, as the ESC reports in its
// status word. Returns the number of bytes placed in out (0 on failure).
int Master::EepromRead(uint16_t station, uint16_t word, int timeout_us,
                       uint8_t out[8]) {
  for (int attempt = 0; attempt < kEepromAttempts; ++attempt) {
    uint16_t st = 0;
    if (!EepromWaitIdle(station, &st, timeout_us)) return 0;
    if (st & EC_ESTAT_EMASK) {
      Write16(EC_CMD_FPWR, station, reg::kEepromControl, EC_ECMD_NOP, EC_TIMEOUTRET);
    }
    uint8_t cmd[6];
    PutLe16(cmd, EC_ECMD_READ);
    PutLe32(cmd + 2, word);
    int wkc;
    int tries = 0;
    do {
      wkc = Xfer(EC_CMD_FPWR, station, reg::kEepromControl, sizeof cmd, cmd,
                 EC_TIMEOUTRET);
    } while (wkc <= 0 && tries++ < EC_DEFAULTRETRIES);
    if (wkc <= 0) return 0;
    SleepUs(kEepromPollDelayUs);
    if (!EepromWaitIdle(station, &st, timeout_us)) return 0;
    if (st & EC_ESTAT_NACK) {
      SleepUs(kEepromNackDelayUs);
      continue;
    }
    const uint16_t len = (st & EC_ESTAT_R64) ? 8 : 4;
    std::memset(out, 0, 8);
    tries = 0;
    do {
      wkc = Xfer(EC_CMD_FPRD, station, reg::kEepromData, len, out, EC_TIMEOUTRET);
    } while (wkc <= 0 && tries++ < EC_DEFAULTRETRIES);
    return wkc > 0 ? len : 0;
  }
  return 0;
}

void Master::EepromToMaster(uint16 slave) {
  ec_slavet& s = slave_[slave];
  if (!s.eep_pdi) return;
  // Force, then release, EtherCAT access to the EEPROM.
  Write8(EC_CMD_FPWR, s.configadr, reg::kEepromConfig, 0x02, EC_TIMEOUTRET3);
  Write8(EC_CMD_FPWR, s.configadr, reg::kEepromConfig, 0x00, EC_TIMEOUTRET3);
  s.eep_pdi = 0;
}

void Master::EepromToPdi(uint16 slave) {
  ec_slavet& s = slave_[slave];
  if (s.eep_pdi) return;
  Write8(EC_CMD_FPWR, s.configadr, reg::kEepromConfig, 0x01, EC_TIMEOUTRET3);
  s.eep_pdi = 1;
}

// --- SII byte cache --------------------------------------------------------

void Master::SiiCacheClear() {
  sii_slave_ = 0;
  std::memset(sii_valid_, 0, sizeof sii_valid_);
}

uint8_t Master::SiiByte(uint16 slave, uint16_t address) {
  if (address >= EC_MAXEEPBUF) return 0xFF;
  if (sii_slave_ != slave) {
    SiiCacheClear();
    sii_slave_ = slave;
  }
  if (sii_valid_[address >> 5] & (1u << (address & 31))) {
    return sii_cache_[address];
  }
  EepromToMaster(slave);
  uint8_t data[8];
  const int n = EepromRead(slave_[slave].configadr, address >> 1, EC_TIMEOUTEEP, data);
  if (n == 0) return 0xFF;
  const uint16_t base = address & ~1u;
  for (int i = 0; i < n && base + i < EC_MAXEEPBUF; ++i) {
    const uint16_t a = static_cast<uint16_t>(base + i);
    sii_cache_[a] = data[i];
    sii_valid_[a >> 5] |= 1u << (a & 31);
  }
  return sii_cache_[address];
}

uint16_t Master::SiiWord(uint16 slave, uint16_t address) {
  const uint8_t lo = SiiByte(slave, address);
  const uint8_t hi = SiiByte(slave, static_cast<uint16_t>(address + 1));
  return static_cast<uint16_t>(lo | (hi << 8));
}

// Byte address of the header of the first category of the given type, or 0.
uint16_t Master::SiiFind(uint16 slave, uint16_t category) {
  uint32_t a = kSiiFirstCategoryByte;
  while (a + 4 <= EC_MAXEEPBUF) {
    const uint16_t type = SiiWord(slave, static_cast<uint16_t>(a));
    if (type == category) return static_cast<uint16_t>(a);
    if (type == kSiiCategoryEnd) return 0;
    const uint16_t words = SiiWord(slave, static_cast<uint16_t>(a + 2));
    a += 4 + 2u * words;
  }
  return 0;
}

// --- SII categories --------------------------------------------------------

void Master::SiiParse(uint16 slave) {
  ec_slavet& s = slave_[slave];

  // Name: string 1 of the strings category.
  const uint16_t str = SiiFind(slave, ECT_SII_STRING);
  if (str != 0) {
    uint32_t p = str + 4u;
    const uint8_t count = SiiByte(slave, static_cast<uint16_t>(p++));
    s.name[0] = '\0';
    if (count >= 1) {
      const uint8_t len = SiiByte(slave, static_cast<uint16_t>(p++));
      int i = 0;
      for (; i < len && i < EC_MAXNAME; ++i) {
        s.name[i] = static_cast<char>(SiiByte(slave, static_cast<uint16_t>(p + i)));
      }
      s.name[i] = '\0';
    }
  } else {
    std::snprintf(s.name, sizeof s.name, "? M:%8.8x I:%8.8x",
                  static_cast<unsigned>(s.eep_man), static_cast<unsigned>(s.eep_id));
  }

  // General category: mailbox details, LRW support, E-bus current.
  const uint16_t gen = SiiFind(slave, ECT_SII_GENERAL);
  if (gen != 0) {
    const uint16_t d = static_cast<uint16_t>(gen + 4);
    s.CoEdetails = SiiByte(slave, static_cast<uint16_t>(d + 5));
    s.FoEdetails = SiiByte(slave, static_cast<uint16_t>(d + 6));
    s.EoEdetails = SiiByte(slave, static_cast<uint16_t>(d + 7));
    s.SoEdetails = SiiByte(slave, static_cast<uint16_t>(d + 8));
    if (SiiByte(slave, static_cast<uint16_t>(d + 11)) & 0x02) {
      s.blockLRW = 1;
      slave_[0].blockLRW++;
    }
    s.Ebuscurrent = static_cast<int16>(SiiWord(slave, static_cast<uint16_t>(d + 12)));
    slave_[0].Ebuscurrent = static_cast<int16>(slave_[0].Ebuscurrent + s.Ebuscurrent);
  }

  // FMMU usage (kept for information only).
  const uint16_t fmmu = SiiFind(slave, ECT_SII_FMMU);
  if (fmmu != 0) {
    const uint16_t count = static_cast<uint16_t>(SiiWord(slave, static_cast<uint16_t>(fmmu + 2)) * 2);
    uint8* func[4] = {&s.FMMU0func, &s.FMMU1func, &s.FMMU2func, &s.FMMU3func};
    for (uint16_t j = 0; j < count && j < 4; ++j) {
      const uint8_t v = SiiByte(slave, static_cast<uint16_t>(fmmu + 4 + j));
      if (v != 0xFF) *func[j] = v;
    }
  }

  // SyncManagers: start, length, control and enable of each entry.
  const uint16_t sm = SiiFind(slave, ECT_SII_SM);
  if (sm != 0) {
    const uint16_t count = static_cast<uint16_t>(SiiWord(slave, static_cast<uint16_t>(sm + 2)) / 4);
    for (uint16_t i = 0; i < count && i < EC_MAXSM; ++i) {
      const uint16_t e = static_cast<uint16_t>(sm + 4 + 8 * i);
      s.SM[i].StartAddr = SiiWord(slave, e);
      s.SM[i].SMlength = SiiWord(slave, static_cast<uint16_t>(e + 2));
      s.SM[i].SMflags = static_cast<uint32_t>(SiiByte(slave, static_cast<uint16_t>(e + 4))) |
                        (static_cast<uint32_t>(SiiByte(slave, static_cast<uint16_t>(e + 6))) << 16);
    }
  }
}

// Sums the PDO entry bits per SyncManager of the TxPDO (inputs) or RxPDO
// (outputs) category, sets the SM lengths and types, returns the total.
void Master::SiiPdo(uint16 slave, bool tx, uint32_t* total_bits) {
  ec_slavet& s = slave_[slave];
  *total_bits = 0;
  const uint16_t cat = SiiFind(slave, tx ? static_cast<uint16_t>(ECT_SII_PDO) : kSiiRxPdo);
  if (cat == 0) return;
  uint32_t p = cat + 4u;
  const uint32_t end = p + 2u * SiiWord(slave, static_cast<uint16_t>(cat + 2));
  uint32_t bits[EC_MAXSM] = {0};
  bool used[EC_MAXSM] = {false};
  while (p + 8 <= end && p + 8 <= EC_MAXEEPBUF) {
    const uint8_t entries = SiiByte(slave, static_cast<uint16_t>(p + 2));
    const uint8_t smn = SiiByte(slave, static_cast<uint16_t>(p + 3));
    p += 8;
    if (smn < EC_MAXSM) {
      used[smn] = true;
      for (uint8_t e = 0; e < entries && p + 8 <= EC_MAXEEPBUF; ++e, p += 8) {
        bits[smn] += SiiByte(slave, static_cast<uint16_t>(p + 5));
      }
    } else {
      p += 8u * entries;
    }
  }
  for (int n = 0; n < EC_MAXSM; ++n) {
    if (!used[n]) continue;
    s.SM[n].SMlength = static_cast<uint16>((bits[n] + 7) / 8);
    s.SMtype[n] = tx ? 4 : 3;
    *total_bits += bits[n];
  }
}

}  // namespace ecmaster

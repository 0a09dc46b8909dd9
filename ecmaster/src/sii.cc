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

// The result of a read is fetched as one snapshot of control/status
// (0x0502), word address (0x0504) and data (0x0508..0x050F): status, address
// and data of the same moment in one datagram. A late or repeated reply to
// an earlier read has the same layout as the current one, so the frame
// layer cannot tell them apart; the address inside the snapshot can.
constexpr uint16_t kSnapshotLen = 14;
constexpr size_t kSnapshotAddress = 2;
constexpr size_t kSnapshotData = 6;

int64_t DeadlineAfterUs(int timeout_us) {
  return MonotonicNs() + static_cast<int64_t>(timeout_us) * 1000;
}

int RemainingUs(int64_t end_ns) {
  const int64_t left = end_ns - MonotonicNs();
  return left > 0 ? static_cast<int>(left / 1000) : 0;
}

}  // namespace

// --- EEPROM interface ------------------------------------------------------

// One datagram of the EEPROM protocol. The frame goes out again on its
// index every EC_TIMEOUTRET without a reply (a late reply to any of the
// copies is the answer), and as a new frame while the WKC stays 0, until the
// deadline. All steps are repeatable: a command read twice reads the same
// word twice.
int Master::EepromXfer(uint8_t cmd, uint16_t station, uint16_t ado, uint16_t len,
                       uint8_t* data, int64_t end_ns) {
  int wkc;
  int tries = 0;
  do {
    wkc = Xfer(cmd, station, ado, len, data, RemainingUs(end_ns));
  } while (wkc <= 0 && tries++ < EC_DEFAULTRETRIES && MonotonicNs() < end_ns);
  return wkc;
}

bool Master::EepromWaitIdle(uint16_t station, uint16_t* status,
                            int timeout_us) {
  const int64_t end = DeadlineAfterUs(timeout_us);
  for (;;) {
    uint8_t d[2] = {0, 0};
    const int wkc = Xfer(EC_CMD_FPRD, station, reg::kEepromControl, sizeof d, d,
                         RemainingUs(end));
    const uint16_t st = GetLe16(d);
    if (wkc > 0 && !(st & EC_ESTAT_BUSY)) {
      *status = st;
      return true;
    }
    if (MonotonicNs() >= end) return false;
    SleepUs(kEepromPollDelayUs);
  }
}

// Waits until the interface is idle, clears reported errors and writes the
// read command with the word address in one datagram.
bool Master::EepromRequestRead(uint16_t station, uint16_t word, int timeout_us) {
  uint16_t st = 0;
  if (!EepromWaitIdle(station, &st, timeout_us)) return false;
  if (st & EC_ESTAT_EMASK) {
    uint8_t nop[2];
    PutLe16(nop, EC_ECMD_NOP);
    EepromXfer(EC_CMD_FPWR, station, reg::kEepromControl, sizeof nop, nop,
               DeadlineAfterUs(timeout_us));
  }
  // Command word and 32-bit word address in one write.
  uint8_t cmd[6];
  PutLe16(cmd, EC_ECMD_READ);
  PutLe32(cmd + 2, word);
  return EepromXfer(EC_CMD_FPWR, station, reg::kEepromControl, sizeof cmd, cmd,
                    DeadlineAfterUs(timeout_us)) > 0;
}

// Polls the snapshot until the interface is idle and hands out its data
// (4 or 8 bytes, as the status reports) if they are those of `word`.
Master::EepromResult Master::EepromFetch(uint16_t station, uint16_t word,
                                         int timeout_us, uint8_t out[8],
                                         int* len) {
  const int64_t end = DeadlineAfterUs(timeout_us);
  for (;;) {
    uint8_t snap[kSnapshotLen] = {0};
    const int wkc = Xfer(EC_CMD_FPRD, station, reg::kEepromControl, sizeof snap, snap,
                         RemainingUs(end));
    const uint16_t st = GetLe16(snap);
    if (wkc > 0 && !(st & EC_ESTAT_BUSY)) {
      if (st & EC_ESTAT_NACK) return EepromResult::kNack;
      // Word addresses of the SII fit 16 bits; the upper half of the
      // register is not compared.
      if (GetLe16(snap + kSnapshotAddress) != word) return EepromResult::kOtherWord;
      const int n = (st & EC_ESTAT_R64) ? 8 : 4;
      std::memset(out, 0, 8);
      std::memcpy(out, snap + kSnapshotData, n);
      *len = n;
      return EepromResult::kOk;
    }
    if (MonotonicNs() >= end) return EepromResult::kTimeout;
    SleepUs(kEepromPollDelayUs);
  }
}

// Result of a read requested by EepromRequestRead. A result that is not the
// one of `word` (a NACK, a stale snapshot) is read again in full.
bool Master::EepromReadResult(uint16_t station, uint16_t word, uint32_t* value) {
  uint8_t d[8];
  int n = 0;
  if (EepromFetch(station, word, EC_TIMEOUTEEP, d, &n) == EepromResult::kOk ||
      EepromRead(station, word, EC_TIMEOUTEEP, d) > 0) {
    *value = GetLe32(d);
    return true;
  }
  *value = 0;
  return false;
}

// Full read from a word address: 4 or 8 bytes, as the ESC reports in its
// status word. Returns the number of bytes placed in out (0 on failure).
int Master::EepromRead(uint16_t station, uint16_t word, int timeout_us,
                       uint8_t out[8]) {
  for (int attempt = 0; attempt < kEepromAttempts; ++attempt) {
    if (!EepromRequestRead(station, word, timeout_us)) return 0;
    SleepUs(kEepromPollDelayUs);
    int n = 0;
    switch (EepromFetch(station, word, timeout_us, out, &n)) {
      case EepromResult::kOk:
        return n;
      case EepromResult::kNack:
        SleepUs(kEepromNackDelayUs);
        break;
      case EepromResult::kOtherWord:
        // A late reply to an earlier read, or a command the ESC did not
        // take: issue it again.
        break;
      case EepromResult::kTimeout:
        return 0;
    }
  }
  return 0;
}

// Two words from `word` on, for the application; the EEPROM stays with
// EtherCAT afterwards.
uint32 Master::ReadEeprom(uint16 slave, uint16 word, int timeout_us) {
  if (slave < 1 || slave > *slavecount_) return 0;
  EepromToMaster(slave);
  uint8_t d[8];
  if (EepromRead(slave_[slave].configadr, word, timeout_us, d) == 0) return 0;
  return GetLe32(d);
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

// One byte of the SII. Bytes beyond the cache read as 0xFF. A failed EEPROM
// read also yields 0xFF, but marks the pass as failed: that 0xFF is not
// EEPROM content, and no further reads are made until the next pass.
uint8_t Master::SiiByte(uint16 slave, uint16_t address) {
  if (address >= EC_MAXEEPBUF) return 0xFF;
  if (sii_slave_ != slave) {
    SiiCacheClear();
    sii_slave_ = slave;
  }
  if (sii_valid_[address >> 5] & (1u << (address & 31))) {
    return sii_cache_[address];
  }
  if (sii_failed_) return 0xFF;
  EepromToMaster(slave);
  uint8_t data[8];
  const int n = EepromRead(slave_[slave].configadr, address >> 1, EC_TIMEOUTEEP, data);
  if (n == 0) {
    sii_failed_ = true;
    return 0xFF;
  }
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
  while (a + 4 <= EC_MAXEEPBUF && !sii_failed_) {
    const uint16_t type = SiiWord(slave, static_cast<uint16_t>(a));
    if (type == category) return static_cast<uint16_t>(a);
    if (type == kSiiCategoryEnd) return 0;
    const uint16_t words = SiiWord(slave, static_cast<uint16_t>(a + 2));
    a += 4 + 2u * words;
  }
  return 0;
}

// --- SII categories --------------------------------------------------------

// Name, general category, FMMU usage and SyncManagers of one slave. The
// results go to the slave record only when every byte was read; returns
// whether they did. The bus totals (slave 0) are the caller's.
bool Master::SiiParse(uint16 slave) {
  sii_failed_ = false;
  ec_slavet s = slave_[slave];

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
    if (SiiByte(slave, static_cast<uint16_t>(d + 11)) & 0x02) s.blockLRW = 1;
    s.Ebuscurrent = static_cast<int16>(SiiWord(slave, static_cast<uint16_t>(d + 12)));
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

  if (sii_failed_) return false;
  slave_[slave] = s;
  return true;
}

// Sums the PDO entry bits per SyncManager of the TxPDO (inputs) or RxPDO
// (outputs) category and returns the total. The SM lengths and types go to
// the slave record only when every byte was read; returns whether they did.
bool Master::SiiPdo(uint16 slave, bool tx, uint32_t* total_bits) {
  sii_failed_ = false;
  *total_bits = 0;
  const uint16_t cat = SiiFind(slave, tx ? static_cast<uint16_t>(ECT_SII_PDO) : kSiiRxPdo);
  if (sii_failed_) return false;
  if (cat == 0) return true;
  uint32_t p = cat + 4u;
  const uint32_t end = p + 2u * SiiWord(slave, static_cast<uint16_t>(cat + 2));
  uint32_t bits[EC_MAXSM] = {0};
  bool used[EC_MAXSM] = {false};
  while (p + 8 <= end && p + 8 <= EC_MAXEEPBUF && !sii_failed_) {
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
  if (sii_failed_) return false;
  ec_slavet& s = slave_[slave];
  for (int n = 0; n < EC_MAXSM; ++n) {
    if (!used[n]) continue;
    s.SM[n].SMlength = static_cast<uint16>((bits[n] + 7) / 8);
    s.SMtype[n] = tx ? 4 : 3;
    *total_bits += bits[n];
  }
  return true;
}

}  // namespace ecmaster

// The survey's register and EEPROM reads, through the ethercat.h API only
// (single datagrams, ec_readeeprom and the slave records), so that the same
// code runs on the built-in master core and on SOEM 1.4.
#include <cstring>

#include "ethercat.h"
#include "tools/bus_survey.h"

namespace businfo {

namespace {

constexpr uint16_t kRegStationAddress = 0x0010;
constexpr uint16_t kRegDlStatus = 0x0110;
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr uint16_t kRegErrorCounters = 0x0300;
constexpr uint16_t kRegSmWatchdogCounter = 0x0442;
constexpr uint16_t kSiiSerial = 0x000E;
constexpr uint16_t kSiiFirstCategory = 0x0040;
constexpr uint16_t kSiiWords = 0x0800;  // what the master's SII access covers
constexpr uint16_t kSiiEnd = 0xFFFF;
constexpr uint16_t kSiiTxPdo = 50;      // inputs
constexpr uint16_t kSiiRxPdo = 51;      // outputs
constexpr int kMaxEepromReads = 2000;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Position address of the k-th slave (1-based) for APRD: 1 - k.
uint16_t PositionAddress(int position) { return static_cast<uint16_t>(1 - position); }

// Two SII words from `word` on. ec_readeeprom gives 0 for a read that
// failed (a reply late past its timeout on a busy machine); a 0 is read again,
// up to kEepromTries times, so that a failed read is not summed as a value.
constexpr int kEepromTries = 3;
uint32_t ReadSiiWords(uint16_t slave, uint32_t word, int* reads) {
  uint32_t v = 0;
  for (int i = 0; i < kEepromTries && v == 0 && *reads <= kMaxEepromReads; ++i) {
    ++*reads;
    v = ec_readeeprom(slave, static_cast<uint16>(word), EC_TIMEOUTEEP);
  }
  return v;
}

// Sum of the entry bit lengths of the PDOs in one PDO category whose data
// start at `word` and span `size` words; PDOs not assigned to a
// SyncManager (number 8 and above) do not count.
bool PdoBits(uint16_t slave, uint32_t word, uint32_t size, uint32_t* bits, int* reads) {
  const uint32_t end = word + size;
  while (word + 4 <= end) {
    if (*reads > kMaxEepromReads) return false;
    // A PDO with no entries reads 0 as well, so a 0 header stands.
    const uint32_t header = ReadSiiWords(slave, word + 1, reads);
    const uint32_t entries = header & 0xFF;
    const uint32_t sm = (header >> 8) & 0xFF;
    for (uint32_t e = 0; e < entries; ++e) {
      if (*reads > kMaxEepromReads) return false;
      // Entry word 2: data type (low byte), bit length (high byte); no entry
      // has both 0, so a 0 is a read that failed.
      const uint32_t v = ReadSiiWords(slave, word + 4 + 4 * e + 2, reads);
      if (v == 0) return false;
      if (sm < 8) *bits += (v >> 8) & 0xFF;
    }
    word += 4 + 4 * entries;
  }
  return true;
}

}  // namespace

int CountSlaves() {
  uint8_t d[2] = {0, 0};
  return ec_BRD(0, 0x0000, sizeof d, d, EC_TIMEOUTSAFE);
}

bool ReadCountersAtPosition(int position, Counters* out) {
  uint8_t errors[20] = {0};
  uint8_t wd = 0;
  if (ec_APRD(PositionAddress(position), kRegErrorCounters, sizeof errors, errors, EC_TIMEOUTRET3) <= 0) return false;
  if (ec_APRD(PositionAddress(position), kRegSmWatchdogCounter, 1, &wd, EC_TIMEOUTRET3) <= 0) return false;
  *out = DecodeCounters(errors, wd);
  return true;
}

bool ReadCounters(uint16_t station, Counters* out) {
  uint8_t errors[20] = {0};
  uint8_t wd = 0;
  if (ec_FPRD(station, kRegErrorCounters, sizeof errors, errors, EC_TIMEOUTRET3) <= 0) return false;
  if (ec_FPRD(station, kRegSmWatchdogCounter, 1, &wd, EC_TIMEOUTRET3) <= 0) return false;
  *out = DecodeCounters(errors, wd);
  return true;
}

bool ReadAlStatus(uint16_t station, uint16_t* status, uint16_t* code) {
  uint8_t d[6] = {0};
  if (ec_FPRD(station, kRegAlStatus, sizeof d, d, EC_TIMEOUTRET3) <= 0) return false;
  *status = Le16(d);
  *code = Le16(d + 4);
  return true;
}

RegisterRead MasterRegisterRead() {
  return [](int position, uint16_t reg, uint8_t* data, int length, bool by_position) {
    if (position < 1 || position > ec_slavecount || position >= EC_MAXSLAVE || length < 1) return false;
    const uint16 size = static_cast<uint16>(length);
    if (by_position) return ec_APRD(PositionAddress(position), reg, size, data, EC_TIMEOUTRET3) > 0;
    return ec_FPRD(ec_slave[position].configadr, reg, size, data, EC_TIMEOUTRET3) > 0;
  };
}

bool ReadCounters(const RegisterRead& read, int position, Counters* out) {
  uint8_t errors[20] = {0};
  uint8_t wd = 0;
  if (!read(position, kRegErrorCounters, errors, sizeof errors, false)) return false;
  if (!read(position, kRegSmWatchdogCounter, &wd, 1, false)) return false;
  *out = DecodeCounters(errors, wd);
  return true;
}

bool ReadAlStatus(const RegisterRead& read, int position, uint16_t* status, uint16_t* code) {
  uint8_t d[6] = {0};
  if (!read(position, kRegAlStatus, d, sizeof d, false)) return false;
  *status = Le16(d);
  *code = Le16(d + 4);
  return true;
}

bool ReadAtPosition(const RegisterRead& read, int position, uint16_t* station, uint16_t* status) {
  uint8_t address[2] = {0, 0};
  uint8_t al[2] = {0, 0};
  if (!read(position, kRegStationAddress, address, sizeof address, true)) return false;
  if (!read(position, kRegAlStatus, al, sizeof al, true)) return false;
  *station = Le16(address);
  *status = Le16(al);
  return true;
}

bool ReadAnnouncedSizes(uint16_t slave, uint32_t* output_bytes, uint32_t* input_bytes) {
  uint32_t out_bits = 0, in_bits = 0;
  int reads = 0;
  uint32_t word = kSiiFirstCategory;
  while (word + 2 <= kSiiWords) {
    if (reads > kMaxEepromReads) return false;
    const uint32_t header = ReadSiiWords(slave, word, &reads);
    const uint16_t type = static_cast<uint16_t>(header & 0xFFFF);
    const uint16_t size = static_cast<uint16_t>(header >> 16);
    if (header == 0) return false;  // a failed read (no category has type 0 and size 0)
    if (type == kSiiEnd) break;
    if (type == kSiiTxPdo && !PdoBits(slave, word + 2, size, &in_bits, &reads)) return false;
    if (type == kSiiRxPdo && !PdoBits(slave, word + 2, size, &out_bits, &reads)) return false;
    word += 2 + size;
  }
  *output_bytes = (out_bits + 7) / 8;
  *input_bytes = (in_bits + 7) / 8;
  return true;
}

std::vector<SlaveInfo> SurveySlaves(const std::vector<bool>& found_ok,
                                    const std::vector<Counters>& found_counters) {
  std::vector<SlaveInfo> slaves;
  for (int k = 1; k <= ec_slavecount && k < EC_MAXSLAVE; ++k) {
    const ec_slavet& rec = ec_slave[k];
    SlaveInfo s;
    s.position = k;
    s.station_address = rec.configadr;
    s.name.assign(rec.name, strnlen(rec.name, sizeof rec.name));
    s.vendor = rec.eep_man;
    s.product = rec.eep_id;
    s.revision = rec.eep_rev;
    s.serial = ec_readeeprom(static_cast<uint16>(k), kSiiSerial, EC_TIMEOUTEEP);
    s.sizes_known = ReadAnnouncedSizes(static_cast<uint16>(k), &s.output_bytes, &s.input_bytes);
    if (ReadAlStatus(s.station_address, &s.al_status, &s.al_status_code)) {
      s.al_status_text = ec_ALstatuscode2string(s.al_status_code);
    } else {
      s.al_status_text = "no answer";
    }
    s.has_dc = rec.hasdc;
    s.dc_delay_ns = rec.hasdc ? rec.pdelay : 0;
    uint8_t dl[2] = {0, 0};
    s.registers_read = ec_FPRD(s.station_address, kRegDlStatus, sizeof dl, dl, EC_TIMEOUTRET3) > 0 &&
                       ReadCounters(s.station_address, &s.counters);
    s.dl_status = Le16(dl);
    const size_t i = static_cast<size_t>(k - 1);
    if (i < found_ok.size() && found_ok[i]) s.counters = found_counters[i];
    slaves.push_back(s);
  }
  return slaves;
}

}  // namespace businfo

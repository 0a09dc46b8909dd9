#include "simulator/sii_image.h"

#include <algorithm>

namespace dcusim {

namespace {

constexpr uint16_t kCatStrings = 10;
constexpr uint16_t kCatGeneral = 30;
constexpr uint16_t kCatFmmu = 40;
constexpr uint16_t kCatSyncManager = 41;
constexpr uint16_t kCatTxPdo = 50;
constexpr uint16_t kCatRxPdo = 51;
constexpr uint16_t kCatEnd = 0xFFFF;

class WordWriter {
 public:
  explicit WordWriter(std::vector<uint16_t>* w, size_t start) : w_(w), pos_(start) {}
  void Put(uint16_t v) {
    if (pos_ < w_->size()) (*w_)[pos_] = v;
    ++pos_;
  }
  void PutBytes(uint8_t lo, uint8_t hi) { Put(static_cast<uint16_t>(lo | (hi << 8))); }
  size_t pos() const { return pos_; }

 private:
  std::vector<uint16_t>* w_;
  size_t pos_;
};

// Splits `bits` into PDO entries of at most 64 bits, returned as
// (bit length, CoE data type) pairs.
std::vector<std::pair<uint8_t, uint8_t>> SplitEntries(uint32_t bits) {
  std::vector<std::pair<uint8_t, uint8_t>> out;
  while (bits >= 64) {
    out.emplace_back(64, 0x1B);  // UNSIGNED64
    bits -= 64;
  }
  if (bits >= 32) { out.emplace_back(32, 0x07); bits -= 32; }
  if (bits >= 16) { out.emplace_back(16, 0x06); bits -= 16; }
  if (bits >= 8) { out.emplace_back(8, 0x05); bits -= 8; }
  return out;
}

void PutPdo(WordWriter& w, uint16_t category, uint16_t pdo_index, uint16_t object, uint8_t sm,
            uint16_t bytes) {
  auto entries = SplitEntries(static_cast<uint32_t>(bytes) * 8);
  w.Put(category);
  w.Put(static_cast<uint16_t>(4 + 4 * entries.size()));
  w.Put(pdo_index);
  w.PutBytes(static_cast<uint8_t>(entries.size()), sm);
  w.Put(0);  // DC sync, name index
  w.Put(0);  // flags
  for (size_t j = 0; j < entries.size(); ++j) {
    w.Put(object);
    w.PutBytes(static_cast<uint8_t>(j + 1), 0);
    w.PutBytes(entries[j].second, entries[j].first);
    w.Put(0);
  }
}

}  // namespace

uint8_t SiiConfigCrc(const uint16_t* words) {
  uint8_t crc = 0xFF;
  for (int i = 0; i < 14; ++i) {
    uint8_t byte = static_cast<uint8_t>(i % 2 == 0 ? words[i / 2] & 0xFF : words[i / 2] >> 8);
    crc ^= byte;
    for (int b = 0; b < 8; ++b) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

uint16_t DefaultInputStart(uint16_t output_bytes) {
  uint32_t end = 0x1000u + 3u * output_bytes;
  uint32_t start = std::max<uint32_t>(0x1400, (end + 0x3FF) & ~0x3FFu);
  return static_cast<uint16_t>(start);
}

std::vector<uint16_t> BuildSiiImage(const SiiContent& c) {
  std::vector<uint16_t> w(kSiiWords, 0xFFFF);
  std::fill(w.begin(), w.begin() + 0x40, 0);
  w[0x00] = kSiiPdiControl;
  w[0x02] = kSiiSyncPulse;
  w[0x04] = c.alias;
  w[0x07] = SiiConfigCrc(w.data());
  w[0x08] = static_cast<uint16_t>(c.vendor_id);
  w[0x09] = static_cast<uint16_t>(c.vendor_id >> 16);
  w[0x0A] = static_cast<uint16_t>(c.product_code);
  w[0x0B] = static_cast<uint16_t>(c.product_code >> 16);
  w[0x0C] = static_cast<uint16_t>(c.revision);
  w[0x0D] = static_cast<uint16_t>(c.revision >> 16);
  w[0x0E] = static_cast<uint16_t>(c.serial);
  w[0x0F] = static_cast<uint16_t>(c.serial >> 16);
  // 0x18..0x1C stay 0: no mailbox.
  w[0x3E] = 0x000F;  // 16 kbit
  w[0x3F] = 0x0001;

  WordWriter out(&w, 0x40);

  // Strings: one string, the device name.
  std::string name = c.name.substr(0, 255);
  size_t string_bytes = 1 + 1 + name.size();
  out.Put(kCatStrings);
  out.Put(static_cast<uint16_t>((string_bytes + 1) / 2));
  std::vector<uint8_t> bytes;
  bytes.push_back(1);
  bytes.push_back(static_cast<uint8_t>(name.size()));
  bytes.insert(bytes.end(), name.begin(), name.end());
  if (bytes.size() % 2) bytes.push_back(0);
  for (size_t i = 0; i < bytes.size(); i += 2) out.PutBytes(bytes[i], bytes[i + 1]);

  // General: name index 1, LRW allowed, no mailbox protocols, 0 mA.
  out.Put(kCatGeneral);
  out.Put(16);
  for (int i = 0; i < 16; ++i) out.Put(i == 1 ? 0x0100 : 0);

  // FMMU usage: outputs, inputs.
  out.Put(kCatFmmu);
  out.Put(1);
  out.PutBytes(c.output_bytes ? 0x01 : 0xFF, c.input_bytes ? 0x02 : 0xFF);

  // SyncManagers: SM0 outputs, SM1 inputs.
  out.Put(kCatSyncManager);
  out.Put(8);
  out.Put(c.output_start);
  out.Put(c.output_bytes);
  out.PutBytes(kSmControlOutputs, 0);
  out.PutBytes(c.output_bytes ? 0x01 : 0x00, 0x03);
  out.Put(c.input_start);
  out.Put(c.input_bytes);
  out.PutBytes(kSmControlInputs, 0);
  out.PutBytes(c.input_bytes ? 0x01 : 0x00, 0x04);

  if (c.input_bytes) PutPdo(out, kCatTxPdo, 0x1A00, 0x6000, 1, c.input_bytes);
  if (c.output_bytes) PutPdo(out, kCatRxPdo, 0x1600, 0x7000, 0, c.output_bytes);
  out.Put(kCatEnd);
  return w;
}

}  // namespace dcusim

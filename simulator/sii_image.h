// SII EEPROM image of an emulated slave without mailbox: identity, name,
// SyncManager set-up and one RxPDO/TxPDO describing the process data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dcusim {

struct SiiContent {
  uint32_t vendor_id = 0;
  uint32_t product_code = 0;
  uint32_t revision = 0;
  uint32_t serial = 0;
  uint16_t alias = 0;
  std::string name = "DCU";
  uint16_t output_bytes = 240;  // RxPDO on SM0
  uint16_t input_bytes = 240;   // TxPDO on SM1
  uint16_t output_start = 0x1000;
  uint16_t input_start = 0x1400;
};

constexpr size_t kSiiWords = 1024;     // 2 KiB EEPROM (16 kbit)
constexpr uint16_t kSiiPdiControl = 0x0C05;
constexpr uint16_t kSiiSyncPulse = 0x03E8;
constexpr uint8_t kSmControlOutputs = 0x64;  // buffered, ECAT writes, AL event, watchdog
constexpr uint8_t kSmControlInputs = 0x20;   // buffered, ECAT reads, AL event
constexpr uint16_t kMaxPdoBytes = 512;

// CRC-8 of the configuration area (polynomial 0x07, initial 0xFF, MSB first,
// no final XOR) over the first 14 bytes.
uint8_t SiiConfigCrc(const uint16_t* words);

// Builds the full 1024-word image; unused words are 0xFFFF.
std::vector<uint16_t> BuildSiiImage(const SiiContent& c);

// Start address of the input SyncManager for a given output size, leaving
// room for three output buffers as a real controller would.
uint16_t DefaultInputStart(uint16_t output_bytes);

}  // namespace dcusim

// The SII EEPROM read through the EEPROM interface registers exactly as a
// master does, and parsed here by an independent reading of the category
// rules.
#include <gtest/gtest.h>

#include <map>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

// Reads `words` words starting at `word` through 0x0502/0x0504/0x0508.
std::vector<uint16_t> ReadEeprom(Net& net, int k, uint32_t word, size_t words) {
  std::vector<uint16_t> out;
  while (out.size() < words) {
    std::vector<uint8_t> cmd = {0x00, 0x01};
    auto addr = U32(word + uint32_t(out.size()));
    cmd.insert(cmd.end(), addr.begin(), addr.end());
    EXPECT_EQ(net.Write(FPWR, Station(k), 0x0502, cmd), 1);
    const uint16_t status = GetU16(net.ReadReg(k, 0x0502, 2));
    EXPECT_EQ(status & 0x8000, 0);  // never busy
    EXPECT_EQ(status & 0x7800, 0);  // no error
    EXPECT_TRUE(status & 0x0040);   // 8-byte reads
    auto data = net.ReadReg(k, 0x0508, 8);
    for (size_t i = 0; i < 4 && out.size() < words; ++i) out.push_back(GetU16(data, 2 * i));
  }
  return out;
}

uint8_t Crc8(const std::vector<uint16_t>& w) {
  uint8_t crc = 0xFF;
  for (int i = 0; i < 14; ++i) {
    crc ^= uint8_t(w[i / 2] >> (8 * (i % 2)));
    for (int b = 0; b < 8; ++b) crc = uint8_t((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

struct SiiView {
  std::string name;
  std::vector<std::array<uint16_t, 4>> sms;  // start, length, control, enable
  std::map<int, int> tx_bits, rx_bits;       // per SM
};

SiiView Parse(const std::vector<uint16_t>& w) {
  SiiView v;
  size_t at = 0x40;
  while (at + 1 < w.size() && w[at] != 0xFFFF) {
    const uint16_t type = w[at];
    const size_t size = w[at + 1];
    auto byte = [&](size_t i) { return uint8_t(w[at + 2 + i / 2] >> (8 * (i % 2))); };
    if (type == 10) {
      const int len = byte(1);
      for (int i = 0; i < len; ++i) v.name += char(byte(2 + i));
    } else if (type == 41) {
      for (size_t e = 0; e < size / 4; ++e) {
        v.sms.push_back({uint16_t(byte(8 * e) | byte(8 * e + 1) << 8), uint16_t(byte(8 * e + 2) | byte(8 * e + 3) << 8),
                         byte(8 * e + 4), byte(8 * e + 6)});
      }
    } else if (type == 50 || type == 51) {
      size_t i = 0;
      while (i < size * 2) {
        const int entries = byte(i + 2), sm = byte(i + 3);
        i += 8;
        for (int e = 0; e < entries; ++e, i += 8) (type == 50 ? v.tx_bits : v.rx_bits)[sm] += byte(i + 5);
      }
    }
    at += 2 + size;
  }
  return v;
}

TEST(Sii, DcuImageDescribesAMailboxlessSlaveWith240BytesEachWay) {
  Net net(Dcus(2));
  net.Configure(2);
  auto w = ReadEeprom(net, 2, 0, 0x200);
  EXPECT_EQ(w[0x19], 0);  // no mailbox
  EXPECT_EQ(w[0x00], 0x0C05);
  EXPECT_EQ(w[0x07] & 0xFF, Crc8(w));
  EXPECT_EQ(w[0x07] & 0xFF, 0x81);
  EXPECT_EQ(w[0x08] | (uint32_t(w[0x09]) << 16), 0x005A5256u);  // the project's vendor id
  EXPECT_EQ(w[0x0A] | (uint32_t(w[0x0B]) << 16), 0x0000DC01u);
  EXPECT_EQ(w[0x0E], 2);  // serial = bus position
  SiiView v = Parse(w);
  EXPECT_EQ(v.name, "DCU");
  ASSERT_EQ(v.sms.size(), 2u);
  EXPECT_EQ(v.sms[0], (std::array<uint16_t, 4>{0x1000, 240, 0x64, 1}));
  EXPECT_EQ(v.sms[1], (std::array<uint16_t, 4>{0x1400, 240, 0x20, 1}));
  EXPECT_EQ(v.tx_bits[1], 1920);
  EXPECT_EQ(v.rx_bits[0], 1920);
  // Power-on registers taken from the image.
  EXPECT_EQ(GetU16(net.ReadReg(2, 0x0140, 2)), 0x0C05);
}

TEST(Sii, AliasAndOtherSizesChangeTheImageAndItsChecksum) {
  Net net(Dcus(1, "", "  boards:\n    - {position: 1, output_bytes: 200, input_bytes: 236, alias: 7}\n"));
  net.Configure(1);
  auto w = ReadEeprom(net, 1, 0, 0x200);
  EXPECT_EQ(w[0x04], 7);
  EXPECT_EQ(w[0x07] & 0xFF, Crc8(w));
  EXPECT_NE(w[0x07] & 0xFF, 0x81);
  SiiView v = Parse(w);
  EXPECT_EQ(v.rx_bits[0], 1600);
  EXPECT_EQ(v.tx_bits[1], 1888);
  EXPECT_EQ(v.sms[0][1], 200);
}

TEST(Sii, EepromInterfaceEdgeCases) {
  Net net(Dcus(1));
  net.Configure(1);
  // Words beyond the 2 KiB image read as erased.
  EXPECT_EQ(ReadEeprom(net, 1, 0x7FE, 4), (std::vector<uint16_t>{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}));
  // A 4-byte data read returns the first two words.
  net.Write(FPWR, Station(1), 0x0502, {0x00, 0x01, 0x08, 0, 0, 0});
  EXPECT_EQ(GetU32(net.ReadReg(1, 0x0508, 4)), 0x005A5256u);
  // An invalid command is acknowledged with NACK until cleared.
  net.Write(FPWR, Station(1), 0x0502, {0x00, 0x07});
  EXPECT_TRUE(GetU16(net.ReadReg(1, 0x0502, 2)) & 0x2000);
  net.Write(FPWR, Station(1), 0x0502, {0x00, 0x00});
  EXPECT_EQ(GetU16(net.ReadReg(1, 0x0502, 2)) & 0x7800, 0);
  // A write needs the write-enable bit in the same frame.
  net.Write(FPWR, Station(1), 0x0508, U16(0xBEEF));
  net.Write(FPWR, Station(1), 0x0502, {0x00, 0x02, 0x30, 0, 0, 0});
  EXPECT_TRUE(GetU16(net.ReadReg(1, 0x0502, 2)) & 0x4000);
  net.Write(FPWR, Station(1), 0x0502, {0x00, 0x00});
  net.Write(FPWR, Station(1), 0x0502, {0x01, 0x02, 0x30, 0, 0, 0});
  EXPECT_EQ(ReadEeprom(net, 1, 0x30, 1)[0], 0xBEEF);
}

}  // namespace
}  // namespace simtest

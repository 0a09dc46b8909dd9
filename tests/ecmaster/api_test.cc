// The C API without slaves: AL status texts, C usability of the header,
// failing interfaces, empty and silent buses.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>
#include <string>

#include "ecmaster/context.h"
#include "ethercat.h"
#include "tests/ecmaster/fake_transport.h"

extern "C" int ecmaster_c_header_check(void);

namespace {

using ecmaster_test::FakeTransport;
using ecmaster_test::Frame;

TEST(AlStatusText, KnownCodesGiveTheirTexts) {
  struct {
    uint16_t code;
    const char* text;
  } const cases[] = {
      {0x0000, "No error"},
      {0x0011, "Invalid requested state change"},
      {0x0015, "Invalid mailbox configuration"},
      {0x0016, "Invalid mailbox configuration"},  // two codes, one text
      {0x001C, "Invalid sync Manager types"},      // the capital M is part of it
      {0x002E, "Invalid input FMMU configuration"},
      {0x0037, "DC invalid sync1 cycle time"},
      {0x00F0, "Application controller available"},  // last entry
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(ec_ALstatuscode2string(c.code), c.text) << std::hex << c.code;
  }
}

TEST(AlStatusText, GapsAndVendorCodesAreUnknown) {
  for (uint16_t code : {0x0003, 0x0010, 0x002F, 0x0038, 0x0046, 0x00EF, 0x00F1, 0x8000,
                        0xFFFE, 0xFFFF}) {
    EXPECT_STREQ(ec_ALstatuscode2string(code), "Unknown") << std::hex << code;
  }
}

TEST(Header, IsUsableFromC) { EXPECT_EQ(ecmaster_c_header_check(), 1); }

TEST(Init, MissingInterfaceGivesZero) {
  EXPECT_EQ(ec_init("h2-no-such-if"), 0);
  EXPECT_EQ(ec_init(""), 0);
  EXPECT_EQ(ec_init("an-interface-name-far-too-long-for-linux"), 0);
  ec_close();
}

TEST(EmptyBus, NoSlaveAnswersTheCount) {
  // Frames come back untouched: nobody is on the line.
  ASSERT_TRUE(ecmaster::OpenDefaultContext(std::make_unique<FakeTransport>(
      [](const Frame& f) { return std::vector<Frame>{f}; })));
  EXPECT_EQ(ec_config_init(FALSE), 0);
  EXPECT_EQ(ec_slavecount, 0);
  uint8_t iomap[64];
  EXPECT_EQ(ec_config_map(iomap), 0);
  EXPECT_EQ(ec_configdc(), FALSE);
  EXPECT_EQ(ec_send_processdata(), 0) << "nothing mapped";
  EXPECT_EQ(ec_send_overlap_processdata(), 0);
  EXPECT_EQ(ec_receive_processdata(EC_TIMEOUTRET), EC_NOFRAME);
  EXPECT_EQ(ec_statecheck(1, EC_STATE_INIT, 1000000), 0) << "beyond the slave count";
  EXPECT_EQ(ec_readstate(), 0);
  EXPECT_EQ(ec_writestate(0), 0);
  EXPECT_EQ(ec_reconfig_slave(1, 500), 0);
  EXPECT_EQ(ec_recover_slave(1, 500), 0);
  ec_close();
}

TEST(EmptyBus, FramesThatNeverReturnEndInNoFrame) {
  ASSERT_TRUE(ecmaster::OpenDefaultContext(
      std::make_unique<FakeTransport>([](const Frame&) { return std::vector<Frame>{}; })));
  EXPECT_LT(ec_config_init(FALSE), 0);
  EXPECT_EQ(ec_slavecount, 0);
  ec_close();
  // Closed: every call fails at once instead of touching a socket.
  EXPECT_LT(ec_config_init(FALSE), 0);
  EXPECT_EQ(ec_writestate(0), EC_NOFRAME);
}

// Slaves that refuse LRW: inputs are read with LRD, then outputs written
// with LWR; an LWR's WKC counts twice so the sum matches the LRW rule.
TEST(ProcessData, LrdThenLwrWhenLrwIsBlocked) {
  std::vector<Frame> seen;
  std::mutex seen_mu;
  ASSERT_TRUE(ecmaster::OpenDefaultContext(std::make_unique<FakeTransport>([&](const Frame& f) {
    {
      std::lock_guard<std::mutex> lk(seen_mu);
      seen.push_back(f);
    }
    Frame r = f;
    const size_t len = (r[22] | (r[23] << 8)) & 0x07FF;
    if (r[16] == EC_CMD_LRD) std::memset(&r[26], 0x5A, len);
    ecmaster_test::AddWkc(r, 1);
    return std::vector<Frame>{r};
  })));
  uint8_t iomap[16];
  for (int i = 0; i < 16; ++i) iomap[i] = static_cast<uint8_t>(i + 1);
  std::memset(ec_group, 0, sizeof ec_group);
  ec_group[0].outputs = iomap;
  ec_group[0].Obytes = 10;
  ec_group[0].inputs = iomap + 10;
  ec_group[0].Ibytes = 6;
  ec_group[0].nsegments = 1;
  ec_group[0].IOsegment[0] = 16;
  ec_group[0].Isegment = 0;
  ec_group[0].Ioffset = 10;
  ec_group[0].blockLRW = 1;

  EXPECT_EQ(ec_send_processdata(), 1);
  EXPECT_EQ(ec_receive_processdata(EC_TIMEOUTRET), 1 + 2 * 1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0][16], EC_CMD_LRD);
  EXPECT_EQ(seen[0][18], 10) << "logical address of the inputs";
  EXPECT_EQ(seen[0][22], 6);
  EXPECT_EQ(seen[1][16], EC_CMD_LWR);
  EXPECT_EQ(seen[1][18], 0);
  EXPECT_EQ(seen[1][22], 10);
  EXPECT_EQ(0, std::memcmp(&seen[1][26], iomap, 10)) << "the outputs go out";
  for (int i = 0; i < 10; ++i) EXPECT_EQ(iomap[i], i + 1) << "outputs are not overwritten";
  for (int i = 10; i < 16; ++i) EXPECT_EQ(iomap[i], 0x5A) << "inputs arrive";
  std::memset(ec_group, 0, sizeof ec_group);
  ec_close();
}

}  // namespace

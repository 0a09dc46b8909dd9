// The C API without slaves: AL status texts, C usability of the header,
// failing interfaces, empty and silent buses.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
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
      {0x0001, "Unspecified error"},
      {0x0011, "Invalid requested state change"},
      {0x0012, "Unknown requested state"},
      {0x0013, "Bootstrap not supported"},
      {0x0015, "Invalid mailbox configuration"},
      {0x0016, "Invalid mailbox configuration"},
      {0x001B, "Sync manager watchdog"},
      {0x001C, "Invalid sync Manager types"},
      {0x001D, "Invalid output configuration"},
      {0x001E, "Invalid input configuration"},
      {0x0022, "Slave needs PREOP"},
      {0x002C, "Fatal sync error"},
      {0x002E, "Invalid input FMMU configuration"},
      {0x0030, "Invalid DC SYNC configuration"},
      {0x0036, "DC invalid sync0 cycle time"},
      {0x0037, "DC invalid sync1 cycle time"},
      {0x004F, "MBX_VOE"},
      {0x0061, "Device identification value updated"},
      {0x00F0, "Application controller available"},
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

}  // namespace

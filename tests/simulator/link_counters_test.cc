// Links and error counters of the emulated slave controllers: DL status as
// the cabling has it, the counters the control commands raise, and the
// writes that clear them.
#include <gtest/gtest.h>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

std::string Cmd(Net& net, const std::string& line) { return net.sim().Command(line, net.now()); }

TEST(LinkCounters, DlStatusFollowsTheCable) {
  Net net(Dcus(3));
  net.Configure(3);
  EXPECT_EQ(GetU16(net.ReadReg(1, 0x0110, 2)), 0x5A33);
  EXPECT_EQ(GetU16(net.ReadReg(3, 0x0110, 2)), 0x5613);

  // Pulled after board 2: board 2's port 1 and board 3's port 0 lose their
  // link, once each in their lost-link counters; board 3 is out of reach.
  ASSERT_EQ(Cmd(net, "cable pull after 2").rfind("ok", 0), 0u);
  EXPECT_EQ(GetU16(net.ReadReg(2, 0x0110, 2)), 0x5613);
  EXPECT_EQ(net.One(Read(FPRD, Station(3), 0x0110, 2)).wkc, 0);
  EXPECT_EQ(net.ReadReg(2, 0x0310, 4), (std::vector<uint8_t>{0, 1, 0, 0}));
  const std::string ports3 = Cmd(net, "get 3 ports");
  EXPECT_NE(ports3.find("dl_status=0x5503 links=0,0,0,0"), std::string::npos) << ports3;
  EXPECT_NE(ports3.find("lost_links=1,0,0,0"), std::string::npos) << ports3;
  ASSERT_EQ(Cmd(net, "cable restore").rfind("ok", 0), 0u);
  EXPECT_EQ(GetU16(net.ReadReg(2, 0x0110, 2)), 0x5A33);

  // The same cut from either side of the cable, and a link on the way in.
  ASSERT_EQ(Cmd(net, "board 3 port 0 link down").rfind("ok", 0), 0u);
  EXPECT_EQ(GetU16(net.ReadReg(2, 0x0110, 2)), 0x5613);
  EXPECT_EQ(net.ReadReg(2, 0x0311, 1)[0], 2);
  ASSERT_EQ(Cmd(net, "board 3 port 0 link up").rfind("ok", 0), 0u);
  EXPECT_EQ(GetU16(net.ReadReg(3, 0x0110, 2)), 0x5613);
  ASSERT_EQ(Cmd(net, "board 1 port 0 link down").rfind("ok", 0), 0u);
  EXPECT_TRUE(net.Send({Read(BRD, 0, 0x0000, 2)}).empty());  // the master has no link at all
  ASSERT_EQ(Cmd(net, "board 1 port 0 link up").rfind("ok", 0), 0u);
  EXPECT_EQ(net.One(Read(BRD, 0, 0x0000, 2)).wkc, 3);
  EXPECT_EQ(Cmd(net, "board 1 port 2 link down"), "error: a DCU has ports 0 and 1 only");
}

TEST(LinkCounters, InjectedErrorsTravelWithTheFrameAndClearByGroup) {
  Net net(Dcus(3));
  net.Configure(3);
  ASSERT_EQ(Cmd(net, "board 2 port 0 rx_errors 5").rfind("ok", 0), 0u);
  // Board 2: invalid frames and RX errors on port 0; the marked frames go on
  // into board 3 (port 0) and come back through port 1 of boards 1 and 2.
  EXPECT_EQ(net.ReadReg(2, 0x0300, 14),
            (std::vector<uint8_t>{5, 5, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0}));
  EXPECT_EQ(net.ReadReg(3, 0x0308, 2), (std::vector<uint8_t>{5, 0}));
  EXPECT_EQ(net.ReadReg(1, 0x0300, 2), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(net.ReadReg(1, 0x0309, 1)[0], 5);
  ASSERT_EQ(Cmd(net, "board 1 port 1 rx_errors 300").rfind("ok", 0), 0u);
  EXPECT_EQ(net.ReadReg(1, 0x0302, 2), (std::vector<uint8_t>{255, 255}));  // stops at 0xFF
  ASSERT_EQ(Cmd(net, "board 2 lost_links 3").rfind("ok", 0), 0u);
  ASSERT_EQ(Cmd(net, "board 2 port 1 lost_links 1").rfind("ok", 0), 0u);
  EXPECT_EQ(net.ReadReg(2, 0x0310, 2), (std::vector<uint8_t>{3, 1}));
  EXPECT_EQ(Cmd(net, "board 2 port 7 rx_errors 1"), "error: ports are numbered 0..3");
  EXPECT_EQ(Cmd(net, "board 2 port 0 rx_errors many").rfind("error:", 0), 0u);

  // Reads do not clear; discovery's 8-byte clear of 0x0300 clears the RX
  // group (0x0300..0x030D) but not the lost links; a write to 0x0312 clears
  // every lost-link counter.
  EXPECT_EQ(net.ReadReg(2, 0x0300, 1)[0], 5);
  EXPECT_EQ(net.Write(BWR, 0, 0x0300, std::vector<uint8_t>(8, 0)), 3);
  EXPECT_EQ(net.ReadReg(2, 0x0300, 14), std::vector<uint8_t>(14, 0));
  EXPECT_EQ(net.ReadReg(2, 0x0310, 2), (std::vector<uint8_t>{3, 1}));
  net.Write(FPWR, Station(2), 0x0312, {0x00});
  EXPECT_EQ(net.ReadReg(2, 0x0310, 4), std::vector<uint8_t>(4, 0));
  // A power cycle resets the counters, not the cabling.
  ASSERT_EQ(Cmd(net, "board 2 lost_links 2").rfind("ok", 0), 0u);
  ASSERT_EQ(Cmd(net, "board 2 reset").rfind("ok", 0), 0u);
  net.Write(APWR, 0xFFFF, 0x0010, U16(Station(2)));
  EXPECT_EQ(net.ReadReg(2, 0x0310, 1)[0], 0);
  EXPECT_EQ(GetU16(net.ReadReg(2, 0x0110, 2)), 0x5A33);
}

TEST(LinkCounters, WatchdogCountersClearTogether) {
  Net net(Dcus(1));
  net.BringUp(1);
  // Outputs stop: the SM watchdog expires once and counts.
  net.Advance(200000000);
  EXPECT_EQ(net.AlStatus(1), 0x14);
  EXPECT_EQ(net.ReadReg(1, 0x0442, 1)[0], 1);
  net.Write(FPWR, Station(1), 0x0443, {0x00});
  EXPECT_EQ(net.ReadReg(1, 0x0442, 2), (std::vector<uint8_t>{0, 0}));
}

}  // namespace
}  // namespace simtest

// Datagram sequences of the master stack the bus manager uses that stress
// the slave side: recovery of a power-cycled board through the temporary
// address 0xFFFF, reconfiguration without acknowledge with FMMUs written only
// after SAFE_OP, and the overlapping process-data send.
#include <gtest/gtest.h>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

uint32_t ReadEepromWord32(Net& net, uint16_t adr, uint32_t word) {
  std::vector<uint8_t> cmd = {0x00, 0x01};
  auto a = U32(word);
  cmd.insert(cmd.end(), a.begin(), a.end());
  net.Write(FPWR, adr, 0x0502, cmd);
  EXPECT_EQ(GetU16(net.One(Read(FPRD, adr, 0x0502, 2)).data) & 0x8000, 0);
  return GetU32(net.One(Read(FPRD, adr, 0x0508, 4)).data);
}

TEST(MasterSequence, RecoverAPowerCycledBoardThenReconfigureIt) {
  Net net(Dcus(3));
  net.BringUp(3);
  std::vector<uint8_t> image(1440, 0);
  net.Exchange(3, image);
  EXPECT_EQ(net.last_wkc(), 9);

  ASSERT_EQ(net.sim().Command("board 2 reset", net.now()).substr(0, 2), "ok");
  net.Exchange(3, image);
  EXPECT_EQ(net.last_wkc(), 6);
  // The master finds address 0 at position 2.
  Dg at = net.One(Read(APRD, 0xFFFF, 0x0010, 2));
  EXPECT_EQ(at.wkc, 1);
  EXPECT_EQ(GetU16(at.data), 0);
  EXPECT_EQ(net.Write(FPWR, 0xFFFF, 0x0010, U16(0)), 0);  // nobody holds the temporary address
  EXPECT_EQ(net.Write(APWR, 0xFFFF, 0x0010, U16(0xFFFF)), 1);
  net.Write(FPWR, 0xFFFF, 0x0500, {0x02});
  net.Write(FPWR, 0xFFFF, 0x0500, {0x00});
  EXPECT_EQ(GetU16(net.One(Read(FPRD, 0xFFFF, 0x0012, 2)).data), 0);
  EXPECT_EQ(ReadEepromWord32(net, 0xFFFF, 0x0A), 0x0000DC01u);
  EXPECT_EQ(ReadEepromWord32(net, 0xFFFF, 0x08), 0x005A5256u);
  EXPECT_EQ(ReadEepromWord32(net, 0xFFFF, 0x0C), 0x00010000u);
  EXPECT_EQ(net.Write(FPWR, 0xFFFF, 0x0010, U16(Station(2))), 1);

  // Reconfiguration: INIT without acknowledge, SMs, PRE_OP, SAFE_OP, then FMMUs.
  EXPECT_EQ(net.RequestState(2, 0x0001), 1);
  EXPECT_EQ(net.AlStatus(2), 0x0001);
  net.Write(FPWR, Station(2), 0x0800, {0x00, 0x10, 240, 0, 0x64, 0, 1, 0});
  net.Write(FPWR, Station(2), 0x0808, {0x00, 0x14, 240, 0, 0x20, 0, 1, 0});
  net.RequestState(2, 0x0002);
  EXPECT_EQ(net.AlStatus(2), 0x0002);
  net.RequestState(2, 0x0004);
  EXPECT_EQ(net.AlStatus(2), 0x0004);
  net.Write(FPWR, Station(2), 0x0600, {240, 0, 0, 0, 240, 0, 0, 7, 0x00, 0x10, 0, 2, 1, 0, 0, 0});
  net.Write(FPWR, Station(2), 0x0610, {0xC0, 0x03, 0, 0, 240, 0, 0, 7, 0x00, 0x14, 0, 1, 1, 0, 0, 0});
  net.Exchange(3, image);
  EXPECT_EQ(net.last_wkc(), 9);  // SAFE_OP already counts 3
  net.RequestState(2, 0x0008);
  EXPECT_EQ(net.AlStatus(2), 0x0008);
}

TEST(MasterSequence, StateChecksOfAMixedNetwork) {
  Net net(Dcus(2));
  net.Configure(2);
  net.RequestState(1, 0x04);
  // Broadcast state read ORs the words: PRE_OP | SAFE_OP.
  EXPECT_EQ(GetU16(net.One(Read(BRD, 0, 0x0130, 2)).data), 0x0006);
  // One frame with one 6-byte status read per board.
  auto r = net.Send({Read(FPRD, Station(1), 0x0130, 6), Read(FPRD, Station(2), 0x0130, 6)});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(GetU16(r[0].data), 0x0004);
  EXPECT_EQ(GetU16(r[1].data), 0x0002);
  // Writing 2 bytes of AL control to all with the same value twice: both are requests.
  net.sim().ForceState(2, 0x02, true, 0x0017);
  net.Write(BWR, 0, 0x0120, U16(0x0014));
  net.Write(BWR, 0, 0x0120, U16(0x0014));
  EXPECT_EQ(net.AlStatus(1), 0x0004);
  EXPECT_EQ(net.AlStatus(2), 0x0004);
}

TEST(MasterSequence, OverlappingSendReturnsInputsOnTheOutputAddresses) {
  // With input FMMUs on the output addresses, one LRW of 240 bytes per
  // board carries outputs out and inputs back.
  Net net(Dcus(2));
  net.Configure(2);
  for (int k = 1; k <= 2; ++k) {
    const uint8_t lo = uint8_t(240 * (k - 1));
    net.Write(FPWR, Station(k), 0x0610, {lo, 0, 0, 0, 240, 0, 0, 7, 0x00, 0x14, 0, 1, 1, 0, 0, 0});
    net.RequestState(k, 4);
  }
  std::vector<uint8_t> out(480, 0x11);
  Dg r = net.One(Logical(LRW, 0, out));
  EXPECT_EQ(r.wkc, 6);
  EXPECT_NE(r.data[192], 0x11);       // board 1's IMU bytes
  EXPECT_NE(r.data[240 + 192], 0x11);  // board 2's
  EXPECT_EQ(net.ReadReg(2, 0x1000, 1)[0], 0x11);
}

}  // namespace
}  // namespace simtest

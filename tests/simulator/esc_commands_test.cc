// Datagram processing of the emulated slave controllers: addressing modes,
// working-counter rules, frame handling and logical addressing.
#include <gtest/gtest.h>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

TEST(EscCommands, PositionAddressingHitsOneBoardAndCountsEveryHop) {
  Net net(Dcus(3));
  // APWR to position 2 (ADP -1): only board 2 takes the address.
  Dg w = net.One(Make(APWR, 0xFFFF, 0x0010, U16(0x1234)));
  EXPECT_EQ(w.wkc, 1);
  EXPECT_EQ(w.adp, 0x0002);  // incremented by each of the three boards
  EXPECT_EQ(GetU16(net.One(Read(APRD, 0xFFFF, 0x0010, 2)).data), 0x1234);
  EXPECT_EQ(GetU16(net.One(Read(APRD, 0x0000, 0x0010, 2)).data), 0);
  // A position beyond the line: nobody answers, the frame still returns.
  Dg miss = net.One(Read(APRD, 0xFFFC, 0x0010, 2));
  EXPECT_EQ(miss.wkc, 0);
  EXPECT_EQ(miss.adp, 0xFFFF);
  // APRW returns the old value and writes the new one: +1 read, +2 write.
  Dg rw = net.One(Make(APRW, 0xFFFF, 0x0010, U16(0x2222)));
  EXPECT_EQ(rw.wkc, 3);
  EXPECT_EQ(GetU16(rw.data), 0x1234);
  EXPECT_EQ(GetU16(net.One(Read(APRD, 0xFFFF, 0x0010, 2)).data), 0x2222);
}

TEST(EscCommands, NodeAddressingMatchesStationAddressOrEnabledAlias) {
  Net net(Dcus(2, "", "  boards:\n    - {position: 2, alias: 0x0077}\n"));
  net.Configure(2);
  Dg r = net.One(Read(FPRD, Station(2), 0x0010, 2));
  EXPECT_EQ(r.wkc, 1);
  EXPECT_EQ(r.adp, Station(2));  // never changed by node addressing
  EXPECT_EQ(GetU16(r.data), Station(2));
  EXPECT_EQ(net.One(Read(FPRD, 0x3333, 0x0010, 2)).wkc, 0);
  // Alias from the SII is visible at power-on but only used once enabled.
  EXPECT_EQ(GetU16(net.ReadReg(2, 0x0012, 2)), 0x0077);
  EXPECT_EQ(net.One(Read(FPRD, 0x0077, 0x0010, 2)).wkc, 0);
  net.Write(FPWR, Station(2), 0x0103, {0x01});
  EXPECT_EQ(GetU16(net.One(Read(FPRD, 0x0077, 0x0010, 2)).data), Station(2));
  // FPRW: old data back, new data written.
  Dg rw = net.One(Make(FPRW, Station(1), 0x0920, U32(0xAABBCCDD)));
  EXPECT_EQ(rw.wkc, 3);
  EXPECT_EQ(GetU32(net.ReadReg(1, 0x0920, 4)), 0xAABBCCDDu);
}

TEST(EscCommands, BroadcastOrsReadsAndCountsEachBoard) {
  Net net(Dcus(3));
  net.Configure(3);
  net.RequestState(2, 0x01);  // board 2 back to INIT, the others stay PRE_OP
  Dg r = net.One(Read(BRD, 0, 0x0130, 2));
  EXPECT_EQ(r.wkc, 3);
  EXPECT_EQ(r.adp, 3);
  EXPECT_EQ(GetU16(r.data), 0x0003);  // 0x02 | 0x01
  EXPECT_EQ(net.Write(BWR, 0, 0x0120, {0x02}), 3);
  EXPECT_EQ(GetU16(net.One(Read(BRD, 0, 0x0130, 2)).data), 0x0002);
  // BRW: +1 read +2 write per board, the read data ORed.
  Dg brw = net.One(Make(BRW, 0, 0x0200, U16(0x0004)));
  EXPECT_EQ(brw.wkc, 9);
}

TEST(EscCommands, ReadMultipleWriteReadsAtTargetAndWritesElsewhere) {
  Net net(Dcus(3));
  net.Configure(3);
  net.Write(FPWR, Station(1), 0x0920, U64(0x1111));
  // ARMW: position 1 reads, every later board takes the data.
  Dg a = net.One(Make(ARMW, 0, 0x0920, U64(0)));
  EXPECT_EQ(a.wkc, 3);
  EXPECT_EQ(a.adp, 3);
  EXPECT_EQ(GetU64(a.data), 0x1111u);
  EXPECT_EQ(GetU64(net.ReadReg(3, 0x0920, 8)), 0x1111u);
  // FRMW: the addressed board reads; boards before and after it write.
  net.Write(FPWR, Station(2), 0x0920, U64(0x2222));
  Dg f = net.One(Make(FRMW, Station(2), 0x0920, U64(0x9999)));
  EXPECT_EQ(f.wkc, 3);
  EXPECT_EQ(f.adp, Station(2));
  EXPECT_EQ(GetU64(f.data), 0x2222u);
  EXPECT_EQ(GetU64(net.ReadReg(1, 0x0920, 8)), 0x9999u);
  EXPECT_EQ(GetU64(net.ReadReg(3, 0x0920, 8)), 0x2222u);
}

TEST(EscCommands, NopAndUnknownCommandsPassUntouched) {
  Net net(Dcus(2));
  for (uint8_t cmd : {uint8_t(NOP), uint8_t(0x15)}) {
    Dg d = Make(cmd, 0x1234, 0x0010, {0xAB, 0xCD});
    Dg r = net.One(d);
    EXPECT_EQ(r.wkc, 0);
    EXPECT_EQ(r.adp, 0x1234);
    EXPECT_EQ(r.data, d.data);
  }
}

TEST(EscCommands, MultiDatagramFramesKeepLayoutIndexAndOrder) {
  Net net(Dcus(2));
  std::vector<Dg> in = {Make(APWR, 0, 0x0010, U16(Station(1))), Read(FPRD, Station(1), 0x0010, 2),
                        Read(BRD, 0, 0x0000, 2), Make(NOP, 0, 0, {1, 2, 3})};
  for (auto& d : in) d.index = 0x0B;
  auto f = BuildFrame(in);
  const size_t len = f.size();
  ASSERT_TRUE(net.sim().ProcessFrame(f.data(), f.size(), 1000));
  EXPECT_EQ(f.size(), len);
  EXPECT_EQ(f[6], 0x03);  // locally administered bit set on the way
  auto out = ParseFrame(f);
  ASSERT_EQ(out.size(), 4u);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].cmd, in[i].cmd);
    EXPECT_EQ(out[i].index, 0x0B);
    EXPECT_EQ(out[i].data.size(), in[i].data.size());
  }
  EXPECT_EQ(out[0].wkc, 1);
  // The second datagram sees the address written by the first one.
  EXPECT_EQ(out[1].wkc, 1);
  EXPECT_EQ(GetU16(out[1].data), Station(1));
  EXPECT_EQ(out[2].wkc, 2);
  EXPECT_EQ(out[3].data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(EscCommands, ShortPaddedTruncatedAndForeignFrames) {
  Net net(Dcus(1));
  auto shortest = BuildFrame({Read(BRD, 0, 0, 2)});
  ASSERT_EQ(shortest.size(), 30u);  // no Ethernet padding on a veth
  EXPECT_TRUE(net.sim().ProcessFrame(shortest.data(), shortest.size(), 1000));
  EXPECT_EQ(ParseFrame(shortest)[0].wkc, 1);

  auto padded = BuildFrame({Read(BRD, 0, 0, 2)}, 60);
  padded[40] = 0x5A;  // padding bytes are ignored and kept
  EXPECT_TRUE(net.sim().ProcessFrame(padded.data(), padded.size(), 2000));
  EXPECT_EQ(ParseFrame(padded)[0].wkc, 1);
  EXPECT_EQ(padded[40], 0x5A);

  auto truncated = BuildFrame({Read(FPRD, 0, 0x0130, 6)});
  truncated.resize(truncated.size() - 3);
  EXPECT_FALSE(net.sim().ProcessFrame(truncated.data(), truncated.size(), 3000));

  auto more_without_next = BuildFrame({Read(BRD, 0, 0, 2)});
  more_without_next[16 + 7] |= 0x80;  // claims another datagram that is not there
  EXPECT_FALSE(net.sim().ProcessFrame(more_without_next.data(), more_without_next.size(), 4000));

  auto ip = BuildFrame({Read(BRD, 0, 0, 2)});
  ip[12] = 0x08;
  ip[13] = 0x00;
  EXPECT_FALSE(net.sim().ProcessFrame(ip.data(), ip.size(), 5000));

  std::vector<uint8_t> tiny(15, 0);
  tiny[12] = 0x88;
  tiny[13] = 0xA4;
  EXPECT_FALSE(net.sim().ProcessFrame(tiny.data(), tiny.size(), 6000));

  // A frame of another EtherCAT type passes without being processed.
  auto other = BuildFrame({Read(BRD, 0, 0, 2)});
  other[15] = static_cast<uint8_t>((other[15] & 0x0F) | 0x40);
  auto copy = other;
  EXPECT_TRUE(net.sim().ProcessFrame(other.data(), other.size(), 7000));
  EXPECT_EQ(other, copy);
}

TEST(EscCommands, WorkingCounterForReadOnlyUnmappedAndEmptyAccesses) {
  Net net(Dcus(1));
  net.Configure(1);
  // Read-only register: the write is counted but changes nothing.
  EXPECT_EQ(net.Write(FPWR, Station(1), 0x0130, U16(0x0008)), 1);
  EXPECT_EQ(net.AlStatus(1), 0x0002);
  // Beyond the process RAM nothing is accessible.
  EXPECT_EQ(net.One(Read(FPRD, Station(1), 0x8000, 4)).wkc, 0);
  // A range starting in registers and running into RAM counts once.
  EXPECT_EQ(net.One(Read(FPRD, Station(1), 0x0FFE, 4)).wkc, 1);
  EXPECT_EQ(net.One(Read(FPRD, Station(1), 0x0010, 0)).wkc, 0);
  // Process-data RAM behind an SM is closed before SAFE_OP.
  EXPECT_EQ(net.One(Read(FPRD, Station(1), 0x1400, 4)).wkc, 0);
  // RAM outside every SM is plain memory.
  EXPECT_EQ(net.Write(FPWR, Station(1), 0x2000, {1, 2, 3}), 1);
  EXPECT_EQ(net.ReadReg(1, 0x2000, 3), (std::vector<uint8_t>{1, 2, 3}));
  // The incoming WKC is added to, not replaced.
  Dg d = Read(BRD, 0, 0, 2);
  d.wkc = 5;
  EXPECT_EQ(net.One(d).wkc, 6);
}

TEST(EscLogical, WorkingCounterFollowsStateAndFmmuDirection) {
  Net net(Dcus(2));
  net.Configure(2);
  std::vector<uint8_t> image(960, 0xEE);
  // PRE_OP: the process-data SMs are closed; nothing counted or copied.
  auto r = net.Send({Logical(LRW, 0, image)});
  EXPECT_EQ(r[0].wkc, 0);
  EXPECT_EQ(r[0].data, image);

  net.RequestState(1, 4);
  net.RequestState(2, 4);
  r = net.Send({Logical(LRW, 0, image)});
  EXPECT_EQ(r[0].wkc, 6);  // SAFE_OP: inputs read, outputs taken
  // Outputs are echoed unchanged; only the input FMMU ranges are replaced.
  EXPECT_TRUE(std::equal(r[0].data.begin(), r[0].data.begin() + 480, image.begin()));
  EXPECT_NE(r[0].data[480 + 192], 0xEE);

  EXPECT_EQ(net.One(Logical(LRD, 480, std::vector<uint8_t>(480, 0))).wkc, 2);
  EXPECT_EQ(net.One(Logical(LWR, 480, std::vector<uint8_t>(480, 0))).wkc, 0);
  // A logical write counts 1 per board, as every write command does.
  EXPECT_EQ(net.One(Logical(LWR, 0, std::vector<uint8_t>(480, 0))).wkc, 2);
  EXPECT_EQ(net.One(Logical(LRD, 0, std::vector<uint8_t>(480, 0))).wkc, 0);
  EXPECT_EQ(net.One(Logical(LRW, 0x10000, image)).wkc, 0);  // another group's range
}

TEST(EscLogical, PartialOverlapTouchesOnlyTheCoveredBytes) {
  Net net(Dcus(2));
  net.BringUp(2);
  // Bytes 200..299: the last 40 output bytes of board 1, the first 60 of board 2.
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i + 1);
  Dg r = net.One(Logical(LRW, 200, data));
  EXPECT_EQ(r.wkc, 4);
  EXPECT_EQ(r.data, data);
  auto b1 = net.ReadReg(1, 0x1000 + 199, 41);
  EXPECT_EQ(b1[0], 0);
  EXPECT_EQ(b1[1], 1);
  EXPECT_EQ(b1[40], 40);
  auto b2 = net.ReadReg(2, 0x1000, 61);
  EXPECT_EQ(b2[0], 41);
  EXPECT_EQ(b2[59], 100);
  EXPECT_EQ(b2[60], 0);
  // Straddling the end of the outputs and the start of board 1's inputs.
  Dg s = net.One(Logical(LRW, 470, std::vector<uint8_t>(20, 0x55)));
  EXPECT_EQ(s.wkc, 3);
  EXPECT_EQ(std::vector<uint8_t>(s.data.begin(), s.data.begin() + 10), std::vector<uint8_t>(10, 0x55));
}

TEST(EscLogical, OverlappingReadAndWriteFmmusWriteFirstThenRead) {
  Net net(Dcus(1));
  net.Configure(1);
  // Both FMMUs on logical 0 (the overlapping layout).
  std::vector<uint8_t> f = {0, 0, 0, 0, 240, 0, 0, 7, 0x00, 0x14, 0, 1, 1, 0, 0, 0};
  net.Write(FPWR, Station(1), 0x0610, f);
  net.RequestState(1, 4);
  std::vector<uint8_t> out(240, 0x42);
  Dg r = net.One(Logical(LRW, 0, out));
  EXPECT_EQ(r.wkc, 3);
  EXPECT_EQ(net.ReadReg(1, 0x1000, 240), out);  // took the bytes as they arrived
  EXPECT_NE(r.data, out);                        // and returned the inputs
}

TEST(EscLogical, BitGranularFmmuMasksEdgeBytes) {
  Net net(Dcus(1));
  net.Configure(1);
  net.RequestState(1, 4);
  // Logical bits 4..11 onto the start of RAM outside the SMs.
  std::vector<uint8_t> f = {0x00, 0, 1, 0, 2, 0, 4, 3, 0x00, 0x20, 4, 2, 1, 0, 0, 0};
  net.Write(FPWR, Station(1), 0x0620, f);
  EXPECT_EQ(net.One(Logical(LWR, 0x10000, {0xFF, 0xFF})).wkc, 1);
  EXPECT_EQ(net.ReadReg(1, 0x2000, 2), (std::vector<uint8_t>{0xF0, 0x0F}));
}

}  // namespace
}  // namespace simtest

// The AL state machine of the emulated controllers and the SM watchdog.
#include <gtest/gtest.h>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

TEST(AlState, WalksUpWithCorrectSyncManagersAndRefusesJumps) {
  Net net(Dcus(1));
  net.Write(APWR, 0, 0x0010, U16(Station(1)));
  EXPECT_EQ(net.AlStatus(1), 0x0001);
  // INIT -> SAFE_OP and INIT -> OP skip a state: refused, error indicated.
  net.RequestState(1, 0x04);
  EXPECT_EQ(net.AlStatus(1), 0x0011);
  EXPECT_EQ(net.AlCode(1), 0x0011);
  // Acknowledge with a one-byte broadcast write, as discovery does.
  net.Write(BWR, 0, 0x0120, {0x11});
  EXPECT_EQ(net.AlStatus(1), 0x0001);
  EXPECT_EQ(net.AlCode(1), 0);
  net.RequestState(1, 0x03);  // no bootstrap
  EXPECT_EQ(net.AlStatus(1), 0x0011);
  EXPECT_EQ(net.AlCode(1), 0x0013);
  net.RequestState(1, 0x12);
  EXPECT_EQ(net.AlStatus(1), 0x0002);
  net.RequestState(1, 0x07);
  EXPECT_EQ(net.AlCode(1), 0x0012);  // unknown requested state
  net.RequestState(1, 0x12);
  // SAFE_OP needs the SMs: none yet -> invalid output configuration.
  net.RequestState(1, 0x04);
  EXPECT_EQ(net.AlStatus(1), 0x0012);
  EXPECT_EQ(net.AlCode(1), 0x001D);
  net.RequestState(1, 0x12);
  net.Write(FPWR, Station(1), 0x0800, {0x00, 0x10, 240, 0, 0x64, 0, 1, 0});
  net.Write(FPWR, Station(1), 0x0808, {0x00, 0x14, 236, 0, 0x20, 0, 1, 0});  // wrong input length
  net.RequestState(1, 0x04);
  EXPECT_EQ(net.AlCode(1), 0x001E);
  net.RequestState(1, 0x12);
  // Other event bits in the control byte do not matter, mode and direction do.
  net.Write(FPWR, Station(1), 0x0808, {0x00, 0x14, 240, 0, 0x30, 0, 1, 0});
  net.RequestState(1, 0x04);  // no FMMUs and no DC needed for SAFE_OP
  EXPECT_EQ(net.AlStatus(1), 0x0004);
  net.RequestState(1, 0x08);
  EXPECT_EQ(net.AlStatus(1), 0x0008);
  // Any downward request is taken, also straight to INIT.
  net.RequestState(1, 0x01);
  EXPECT_EQ(net.AlStatus(1), 0x0001);
}

TEST(AlState, ErrorIndicationIgnoresHigherRequestsUntilAcknowledged) {
  Net net(Dcus(1));
  net.Configure(1);
  net.RequestState(1, 0x04);
  net.sim().ForceState(1, 0x04, true, 0x001B);
  net.RequestState(1, 0x08);  // no acknowledge: ignored
  EXPECT_EQ(net.AlStatus(1), 0x0014);
  net.RequestState(1, 0x04);  // same state without acknowledge: ignored
  EXPECT_EQ(net.AlStatus(1), 0x0014);
  net.RequestState(1, 0x14);
  EXPECT_EQ(net.AlStatus(1), 0x0004);
  EXPECT_EQ(net.AlCode(1), 0);
  // A lower request without acknowledge is executed and clears the error
  // (what a reconfiguration writes: 0x01, 0x02, 0x04).
  net.sim().ForceState(1, 0x04, true, 0x001B);
  net.RequestState(1, 0x01);
  EXPECT_EQ(net.AlStatus(1), 0x0001);
  EXPECT_EQ(net.AlCode(1), 0);
  net.RequestState(1, 0x02);
  net.RequestState(1, 0x04);
  EXPECT_EQ(net.AlStatus(1), 0x0004);
  // The 6-byte status read gives state, reserved and code together.
  net.sim().ForceState(1, 0x02, true, 0x0017);
  auto six = net.ReadReg(1, 0x0130, 6);
  EXPECT_EQ(GetU16(six, 0), 0x0012);
  EXPECT_EQ(GetU16(six, 4), 0x0017);
}

TEST(AlState, OptionalOpChecks) {
  Net dc(Dcus(1, "", "  require_dc_for_op: true\n"));
  dc.Configure(1);
  dc.RequestState(1, 0x04);
  dc.RequestState(1, 0x08);
  EXPECT_EQ(dc.AlStatus(1), 0x0014);
  EXPECT_EQ(dc.AlCode(1), 0x0030);
  dc.Write(FPWR, Station(1), 0x09A0, U32(1000000));
  dc.Write(FPWR, Station(1), 0x0990, U64(dc.sim().SystemTime(1, dc.now()) + 100000000));
  dc.Write(FPWR, Station(1), 0x0981, {0x03});
  dc.RequestState(1, 0x18);
  EXPECT_EQ(dc.AlStatus(1), 0x0008);

  Net out(Dcus(1, "", "  op_requires_outputs: true\n"));
  out.Configure(1);
  out.RequestState(1, 0x04);
  out.RequestState(1, 0x08);
  EXPECT_EQ(out.AlStatus(1), 0x0004);  // pending, no error
  out.Exchange(1, std::vector<uint8_t>(240, 0));
  EXPECT_EQ(out.AlStatus(1), 0x0008);

  Net quiet(Dcus(1, "", "  outputs_count_in_safe_op: false\n"));
  quiet.Configure(1);
  quiet.RequestState(1, 0x04);
  quiet.Exchange(1, std::vector<uint8_t>(240, 0));
  EXPECT_EQ(quiet.last_wkc(), 1);
}

TEST(SmWatchdog, DropsToSafeOpWhenOutputsStopAndNotBefore) {
  Net net(Dcus(2));
  net.BringUp(2);
  std::vector<uint8_t> out(480, 0);
  for (int i = 0; i < 300; ++i) net.Exchange(2, out);  // 300 ms of outputs every 1 ms
  EXPECT_EQ(net.AlStatus(1), 0x0008);
  EXPECT_EQ(net.last_wkc(), 6);
  net.Advance(99000000);
  EXPECT_EQ(net.AlStatus(1), 0x0008);  // 99 ms without outputs: still fine
  net.Advance(2000000);
  EXPECT_EQ(net.AlStatus(1), 0x0014);
  EXPECT_EQ(net.AlCode(1), 0x001B);
  EXPECT_EQ(net.ReadReg(1, 0x0440, 1)[0] & 1, 0);
  EXPECT_EQ(net.ReadReg(1, 0x0442, 1)[0], 1);
  // Recovery: acknowledge, outputs again, OP.
  net.RequestState(1, 0x14);
  net.Exchange(2, out);
  net.RequestState(1, 0x08);
  EXPECT_EQ(net.AlStatus(1), 0x0008);
  // A watchdog time of 0 turns it off.
  net.Write(FPWR, Station(2), 0x0420, U16(0));
  net.RequestState(2, 0x14);
  net.RequestState(2, 0x08);
  net.Advance(1000000000);
  EXPECT_EQ(net.AlStatus(2), 0x0008);
}

TEST(SmWatchdog, OutputsOnlyCountWhenTheWholeBufferIsWritten) {
  Net net(Dcus(1, "", "  watchdog_ms: 10\n"));
  net.BringUp(1);
  for (int i = 0; i < 30; ++i) {
    net.Advance(1000000);
    net.One(Logical(LWR, 0, std::vector<uint8_t>(239, 0)));  // last byte never written
  }
  EXPECT_EQ(net.AlStatus(1), 0x0014);
}

}  // namespace
}  // namespace simtest

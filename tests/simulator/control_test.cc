// Control commands of the simulated network, in process.
#include <gtest/gtest.h>

#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() : net(Dcus(3, "[{name: j1, type: KINETRA_A50, can_id: 1}]")) { net.Configure(3); }
  std::string Cmd(const std::string& c) { return net.sim().Command(c, net.now()); }
  Dg Brd() { return net.One(Read(BRD, 0, 0x0000, 2)); }
  Net net;
};

TEST_F(ControlTest, CablePullLosesFramesOrCutsTheLineAfterABoard) {
  EXPECT_EQ(Cmd("cable pull"), "ok cable pulled: frames are lost");
  EXPECT_TRUE(net.Send({Read(BRD, 0, 0, 2)}).empty());
  EXPECT_EQ(Cmd("cable pull after 1").substr(0, 2), "ok");
  Dg r = Brd();
  EXPECT_EQ(r.wkc, 1);
  EXPECT_EQ(GetU16(net.ReadReg(1, 0x0110, 2)), 0x5613);  // board 1 now ends the line
  EXPECT_EQ(net.One(Read(FPRD, Station(2), 0x0130, 2)).wkc, 0);
  EXPECT_EQ(Cmd("cable restore"), "ok cable restored");
  EXPECT_EQ(Brd().wkc, 3);
  EXPECT_EQ(GetU16(net.ReadReg(1, 0x0110, 2)), 0x5A33);
}

TEST_F(ControlTest, SilentBoardPassesFramesUntouched) {
  EXPECT_EQ(Cmd("board 2 silent"), "ok board 2 silent");
  Dg r = Brd();
  EXPECT_EQ(r.wkc, 2);
  EXPECT_EQ(r.adp, 2);  // its position counter does not move either
  EXPECT_EQ(net.One(Read(FPRD, Station(2), 0x0130, 2)).wkc, 0);
  EXPECT_EQ(Cmd("board 2 answer"), "ok board 2 answers");
  EXPECT_EQ(Brd().wkc, 3);
}

TEST_F(ControlTest, ForcedStatesResetAndQueries) {
  EXPECT_EQ(Cmd("board 2 state SAFE_OP error code 0x001B"), "ok board 2 state SAFE_OP error code 0x001B");
  EXPECT_EQ(net.AlStatus(2), 0x0014);
  EXPECT_EQ(net.AlCode(2), 0x001B);
  EXPECT_EQ(Cmd("get 2 state"), "ok state=SAFE_OP status=0x0014 code=0x001B error=1 address=0x1002 silent=0");
  EXPECT_EQ(Cmd("board 3 state op").substr(0, 2), "ok");
  EXPECT_EQ(net.AlStatus(3), 0x0008);
  // A power cycle loses the station address and returns to INIT.
  EXPECT_EQ(Cmd("board 3 reset"), "ok board 3 reset to INIT");
  EXPECT_EQ(GetU16(net.One(Read(APRD, 0xFFFE, 0x0010, 2)).data), 0);
  EXPECT_EQ(GetU16(net.One(Read(APRD, 0xFFFE, 0x0130, 2)).data), 0x0001);
  EXPECT_NE(Cmd("get actuator j1").find("type=KINETRA_A50 board=1 channel=1 id=1 enabled=0"), std::string::npos);
  EXPECT_NE(Cmd("get 1 dc").find("ok dc=1 system_time="), std::string::npos);
  EXPECT_NE(Cmd("get 1 imu").find("ok magnitude=9.81"), std::string::npos);
  const std::string list = Cmd("list");
  EXPECT_EQ(list.substr(0, 10), "ok 3 board");
  EXPECT_NE(list.find("actuator j1 KINETRA_A50"), std::string::npos);
}

TEST_F(ControlTest, LossDropsTheGivenFraction) {
  EXPECT_EQ(Cmd("loss 1"), "ok loss 1");
  EXPECT_TRUE(net.Send({Read(BRD, 0, 0, 2)}).empty());
  Cmd("loss 0.25");
  int lost = 0;
  for (int i = 0; i < 2000; ++i) lost += net.Send({Read(BRD, 0, 0, 2)}).empty();
  EXPECT_NEAR(lost, 500, 100);
  Cmd("loss 0");
  EXPECT_EQ(Brd().wkc, 3);
}

TEST_F(ControlTest, StatsReplyAndReset) {
  std::string s = Cmd("stats");
  EXPECT_EQ(s.substr(0, 3), "ok\n");
  for (const char* key : {"frames=", "period_min=", "period_mean=", "period_p50=", "period_p99=", "period_p999=",
                          "period_max=", "late=", "missing=", "dc="}) {
    EXPECT_NE(s.find(std::string("\n") + key), std::string::npos) << key;
  }
  EXPECT_EQ(s.find("\n\n"), std::string::npos);  // an empty line would end the reply
  EXPECT_EQ(Cmd("stats reset"), "ok stats reset");
  EXPECT_NE(Cmd("stats").find("\nframes=0\n"), std::string::npos);
}

TEST_F(ControlTest, BadCommandsGetAClearError) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "error: empty command"},
      {"fly away", "error: unknown command 'fly'"},
      {"board 9 silent", "error: no board '9' (boards are numbered 1..3)"},
      {"board 0 silent", "error: no board '0'"},
      {"board x state OP", "error: no board 'x'"},
      {"board 1 state FLYING", "error: unknown state 'FLYING'"},
      {"board 1 state OP code 0x1FFFF", "error: bad AL status code"},
      {"board 1 state OP banana", "error: usage: board K"},
      {"board 1", "error: usage: board K"},
      {"cable cut", "error: usage: cable pull"},
      {"cable pull after 7", "error: no board '7'"},
      {"loss 1.5", "error: usage: loss F"},
      {"loss nan", "error: usage: loss F"},
      {"actuator nobody fault slow", "error: no actuator named 'nobody'"},
      {"actuator j1 fault melting", "error: unknown fault 'melting'"},
      {"imu 1 magnitude heavy", "error: magnitude must be a number"},
      {"imu 1 axis w", "error: usage: imu K"},
      {"get 1 mood", "error: usage: get K"},
      {"get actuator", "error: usage: get K"},
      {"stats now", "error: usage: stats"},
      {std::string("ping\x01"), "error: the command contains non-printable characters"},
  };
  for (const auto& c : cases) {
    const std::string reply = Cmd(c.first);
    EXPECT_EQ(reply.substr(0, c.second.size()), c.second) << "'" << c.first << "' -> " << reply;
  }
  EXPECT_EQ(Cmd("  PING  "), "ok pong");
  EXPECT_EQ(Cmd("help").substr(0, 3), "ok ");
}

}  // namespace
}  // namespace simtest

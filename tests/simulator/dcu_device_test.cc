// The DCU device model behind the controller: slot addressing, shake-hand,
// enable, MIT motion, set-point following, IMU and injected faults.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "simulator/dcu_device.h"
#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

constexpr const char* kActuators =
    "[{name: a50, type: KINETRA_A50, can_id: 1}, {name: a90, type: KINETRA_A90, can_id: 2}, "
    "{name: b30, type: KINETRA_B30, can_id: 3}, {name: grip, type: CLAVIX, can_id: 8}]";

// Output image of one DCU with helpers to place commands.
struct Out {
  std::vector<uint8_t> b = std::vector<uint8_t>(240, 0);
  void Slot(int ch, int id, std::vector<uint8_t> bytes, uint8_t mask) {
    std::memcpy(&b[65 * (ch - 1) + 1 + 8 * (id - 1)], bytes.data(), bytes.size());
    b[65 * (ch - 1)] = mask;
  }
};

std::vector<uint8_t> FloatLe(float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  return U32(u);
}

// MIT frame with kd at its maximum code and kp 0, as the motion test sends.
std::vector<uint8_t> Mit(double v_des) {
  const uint32_t p = 32767, kp = 0, kd = 4095, t = 2047;
  const uint32_t v = uint32_t((v_des + 12.566371) / 25.132742 * 4095);
  return {uint8_t(p >> 8), uint8_t(p), uint8_t(v >> 4), uint8_t(((v & 0xF) << 4) | (kp >> 8)), uint8_t(kp),
          uint8_t(kd >> 4), uint8_t(((kd & 0xF) << 4) | (t >> 8)), uint8_t(t)};
}

double MitVelocity(const std::vector<uint8_t>& in, int slot) {
  const uint8_t* f = &in[8 * slot];
  const uint32_t v = (f[2] << 4) | (f[3] >> 4);
  return -12.566371 + v * 25.132742 / 4095.0;
}

class DcuTest : public ::testing::Test {
 protected:
  DcuTest() : net(Dcus(1, kActuators)) { net.BringUp(1); }
  std::vector<uint8_t> Run(int cycles) {
    std::vector<uint8_t> in;
    for (int i = 0; i < cycles; ++i) in = net.Exchange(1, out.b);
    return in;
  }
  Net net;
  Out out;
};

TEST_F(DcuTest, ShakeHandIsAnsweredUntilAnotherCommandArrives) {
  out.Slot(1, 1, {0xCD}, 0x01);
  auto in = Run(3);
  EXPECT_EQ(in[0], 2);  // KINETRA_A50
  EXPECT_NE((in[1] << 16) | (in[2] << 8) | in[3], 0);
  in = Run(20);  // re-sent every cycle: still the shake-hand reply
  EXPECT_EQ(in[0], 2);
  out.Slot(1, 1, {0x01, 0x01}, 0x01);  // enable replaces it
  in = Run(3);
  EXPECT_EQ((in[5] >> 1) & 7, 1);
  EXPECT_TRUE(in[0] == 0x7F || in[0] == 0x80) << int(in[0]);  // MIT feedback again: position ~ 0

  // KinetraB: 0xCD over the low byte of a zero position set-point.
  out.Slot(1, 3, {0xCD, 0, 0, 0, 0, 0, 0x20, 0x40}, 0x04);
  in = Run(2);
  EXPECT_EQ(in[16], 7);
  // Clavix: byte 0 becomes 0xCD; its own commands never change byte 0.
  out.Slot(1, 8, {0xCD}, 0x80);
  in = Run(2);
  EXPECT_EQ(in[56], 1);
  out.Slot(1, 8, {0xCD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x80);
  in = Run(2);
  EXPECT_NE(in[56], 1);  // now a position command, answered in its own format
}

TEST_F(DcuTest, CommandsNeedTheAddressingBitAndOp) {
  out.Slot(1, 1, {0x01, 0x01}, 0x02);  // bit of id 2, not id 1
  auto in = Run(3);
  EXPECT_EQ((in[5] >> 1) & 7, 0);
  out.b[0] = 0x01;
  in = Run(3);
  EXPECT_EQ((in[5] >> 1) & 7, 1);

  // In SAFE_OP the DCU forwards nothing.
  net.RequestState(1, 0x04);
  out.Slot(1, 1, {0x01, 0x00}, 0x01);
  in = Run(3);
  EXPECT_EQ((in[5] >> 1) & 7, 1);
  net.RequestState(1, 0x08);
  in = Run(3);
  EXPECT_EQ((in[5] >> 1) & 7, 0);
}

TEST_F(DcuTest, MitVelocityCommandMovesAnEnabledKinetraABothWays) {
  out.Slot(1, 1, Mit(0.5), 0xFF);  // disabled: no motion
  auto in = Run(100);
  EXPECT_NEAR(MitVelocity(in, 0), 0.0, 0.01);

  out.Slot(1, 1, {0x01, 0x01}, 0x01);  // one command per actuator, as the node sends them
  Run(3);
  out.Slot(1, 2, {0x01, 0x01}, 0x02);
  Run(3);
  out.Slot(1, 1, Mit(0.5), 0xFF);
  out.Slot(1, 2, Mit(0.5), 0xFF);
  in = Run(20);  // well within the self-test's 1.1 s
  EXPECT_GT(MitVelocity(in, 0), 0.4);
  EXPECT_GT(MitVelocity(in, 1), 0.4);
  out.Slot(1, 1, Mit(-0.5), 0xFF);
  in = Run(20);
  EXPECT_LT(MitVelocity(in, 0), -0.4);
  dcusim::ActuatorStatus st;
  ASSERT_TRUE(net.sim().GetActuator("a50", &st));
  EXPECT_TRUE(st.enabled);
  EXPECT_LT(st.velocity, -0.4);
  EXPECT_LT(std::fabs(st.effort), 50.0);
}

TEST_F(DcuTest, KinetraBAndClavixFollowTheirSetPointsAtBoundedSpeed) {
  out.Slot(1, 3, FloatLe(9.0f), 0xFF);
  out.Slot(1, 8, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFF);
  auto in = Run(500);
  float b_pos;
  std::memcpy(&b_pos, &in[16], 4);  // little-endian host
  EXPECT_GT(b_pos, 1.0f);
  EXPECT_LT(b_pos, 8.0f);  // 0.5 s is not enough to get there
  in = Run(3500);          // the self-test waits up to about 4 s
  std::memcpy(&b_pos, &in[16], 4);
  EXPECT_FLOAT_EQ(b_pos, 9.0f);
  EXPECT_GT(in[56 + 2] / 255.0, 0.9);

  out.Slot(1, 3, FloatLe(0.0f), 0xFF);
  out.Slot(1, 8, {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFF);
  in = Run(4000);
  std::memcpy(&b_pos, &in[16], 4);
  EXPECT_LT(b_pos, 1.0f);
  EXPECT_LT(in[56 + 2] / 255.0, 0.1);
}

TEST_F(DcuTest, FaultsStopTheSelfTestConditions) {
  ASSERT_EQ(net.sim().Command("actuator a50 fault no_handshake", net.now()).substr(0, 2), "ok");
  ASSERT_EQ(net.sim().Command("actuator a90 fault no_enable", net.now()).substr(0, 2), "ok");
  out.Slot(1, 1, {0xCD}, 0x01);
  auto in = Run(5);
  EXPECT_TRUE(in[0] == 0x7F || in[0] == 0x80) << int(in[0]);  // normal feedback, no type code
  out.Slot(1, 2, {0x01, 0x01}, 0x02);
  in = Run(5);
  EXPECT_EQ((in[13] >> 1) & 7, 0);

  net.sim().Command("actuator a50 fault slow", net.now());
  out.Slot(1, 1, {0x01, 0x01}, 0x01);
  Run(3);
  out.Slot(1, 1, Mit(0.5), 0xFF);
  in = Run(1100);
  EXPECT_LT(MitVelocity(in, 0), 0.1);

  net.sim().Command("actuator b30 fault no_move", net.now());
  out.Slot(1, 3, FloatLe(9.0f), 0x04);
  in = Run(1000);
  float b_pos;
  std::memcpy(&b_pos, &in[16], 4);
  EXPECT_EQ(b_pos, 0.0f);
}

TEST_F(DcuTest, ImuReportsGravityBigEndianAndTakesItsOffset) {
  auto in = Run(2);
  double sum = 0;
  for (int i = 0; i < 3; ++i) {
    const double a = dcusim::GetFloatBe(&in[192 + 4 * i]);
    sum += a * a;
  }
  EXPECT_NEAR(std::sqrt(sum), 9.81, 0.03);
  EXPECT_NEAR(dcusim::GetFloatBe(&in[200]), 9.81, 0.03);  // default axis z
  double q = 0;
  for (int i = 0; i < 4; ++i) q += std::pow(dcusim::GetFloatBe(&in[216 + 4 * i]), 2);
  EXPECT_NEAR(q, 1.0, 1e-5);
  EXPECT_GT(std::fabs(dcusim::GetFloatBe(&in[204])), 0.001);  // gyro bias before the offset
  out.b[195] = 1;
  Run(30);
  out.b[195] = 0;
  in = Run(2);
  for (int i = 0; i < 3; ++i) EXPECT_LT(std::fabs(dcusim::GetFloatBe(&in[204 + 4 * i])), 0.003);

  net.sim().Command("imu 1 magnitude 7.5", net.now());
  net.sim().Command("imu 1 axis -x", net.now());
  in = Run(1);
  EXPECT_NEAR(dcusim::GetFloatBe(&in[192]), -7.5, 0.03);
  EXPECT_NEAR(dcusim::GetFloatBe(&in[200]), 0.0, 0.03);
}

TEST(DcuSizes, WrongPdoSizesStillServeWhatFits) {
  Net net(Dcus(1, "[{name: a, type: KINETRA_A50, can_id: 1}]",
               "  boards:\n    - {position: 1, output_bytes: 200, input_bytes: 200}\n"));
  net.Configure(1, 200, 200);
  net.RequestState(1, 0x04);
  EXPECT_EQ(net.AlStatus(1), 0x0004);  // the board checks against its own sizes
  net.RequestState(1, 0x08);
  std::vector<uint8_t> out(200, 0);
  out[0] = 0x01;
  out[1] = 0xCD;
  auto f = BuildFrame({Logical(LRW, 0, std::vector<uint8_t>(400, 0))});
  std::copy(out.begin(), out.end(), f.begin() + 26);
  for (int i = 0; i < 3; ++i) {
    auto g = f;
    ASSERT_TRUE(net.sim().ProcessFrame(g.data(), g.size(), net.now() + uint64_t(i) * 1000000));
    if (i == 2) {
      auto r = ParseFrame(g);
      EXPECT_EQ(r[0].wkc, 3);
      EXPECT_EQ(r[0].data[200], 2);  // shake-hand answered in the first slot
    }
  }
}

}  // namespace
}  // namespace simtest

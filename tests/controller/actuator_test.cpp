// Slot images of the actuator base and the three models.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "controller/actuator.h"
#include "controller/clavix.h"
#include "controller/kinetra.h"
#include "controller/kinetra_b.h"
#include "test_util.h"

namespace {

using ctltest::Bytes;
using ctltest::Slice;
using zorvik::CHANNEL_1;
using zorvik::CHANNEL_2;

// One channel's command and feedback areas, pre-filled with a marker so that
// untouched bytes can be told apart from written ones.
struct ChannelAreas {
  uint8_t send[64];
  uint8_t recv[64];
  explicit ChannelAreas(uint8_t fill = 0xAA) {
    std::memset(send, fill, sizeof(send));
    std::memset(recv, 0, sizeof(recv));
  }
};

class BaseActuator : public zorvik::Actuator {
 public:
  BaseActuator(uint8_t id) : Actuator("base", id, CHANNEL_1, zorvik::TYPE_NONE) {}
};

TEST(ActuatorBase, IdSelectsTheSlotInBothAreas) {
  ChannelAreas areas(0);
  BaseActuator first(1), last(8);
  first.SetDataFiled(areas.send, areas.recv);
  last.SetDataFiled(areas.send, areas.recv);
  first.ShakeHand();
  last.ShakeHand();
  EXPECT_EQ(areas.send[0], 0xCD);
  EXPECT_EQ(areas.send[56], 0xCD);
  for (int i = 0; i < 64; ++i) {
    if (i != 0 && i != 56) {
      EXPECT_EQ(areas.send[i], 0) << i;
    }
  }
  areas.recv[56] = 3;
  areas.recv[59] = 9;
  zorvik::ActuatorType type;
  uint32_t info;
  last.GetShakeHandInfo(type, info);
  EXPECT_EQ(type, zorvik::KINETRA_A90);
  EXPECT_EQ(info, 9u);
}

TEST(ActuatorBase, ShakeHandWritesOnlyByteZero) {
  ChannelAreas areas;
  BaseActuator a(2);
  a.SetDataFiled(areas.send, areas.recv);
  a.ShakeHand();
  EXPECT_EQ(Slice(areas.send + 8, 8), (Bytes{0xCD, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST(ActuatorBase, ShakeHandReplyDecoding) {
  ChannelAreas areas;
  BaseActuator a(1);
  a.SetDataFiled(areas.send, areas.recv);
  zorvik::ActuatorType type;
  uint32_t info;

  // Invalid type bytes read as no reply, whatever the info bytes hold.
  for (uint8_t bad : {0, 8, 200, 255}) {
    const uint8_t reply[] = {bad, 0x12, 0x34, 0x56};
    std::memcpy(areas.recv, reply, 4);
    type = zorvik::KINETRA_A50;
    info = 77;
    a.GetShakeHandInfo(type, info);
    EXPECT_EQ(type, zorvik::TYPE_NONE) << int(bad);
    EXPECT_EQ(info, 0u) << int(bad);
  }

  const uint8_t b30[] = {7, 0x00, 0x01, 0x02, 0xFF};
  std::memcpy(areas.recv, b30, 5);
  a.GetShakeHandInfo(type, info);
  EXPECT_EQ(type, zorvik::KINETRA_B30);
  EXPECT_EQ(info, 258u);

  // A type without a model of its own (4) is still a valid reply; the info
  // word is read most significant byte first.
  const uint8_t four[] = {4, 0xAB, 0xCD, 0xEF};
  std::memcpy(areas.recv, four, 4);
  a.GetShakeHandInfo(type, info);
  EXPECT_EQ(static_cast<int>(type), 4);
  EXPECT_EQ(info, 0xABCDEFu);
}

// ---------------------------------------------------------------- KinetraA

class KinetraATest : public testing::Test {
 protected:
  KinetraATest()
      : a50_("a50", 1, CHANNEL_1, zorvik::KINETRA_A50), a90_("a90", 2, CHANNEL_1, zorvik::KINETRA_A90) {
    a50_.SetDataFiled(areas_.send, areas_.recv);
    a90_.SetDataFiled(areas_.send, areas_.recv);
  }
  Bytes Cmd50() const { return Slice(areas_.send, 8); }
  Bytes Cmd90() const { return Slice(areas_.send + 8, 8); }
  void Feedback50(Bytes bytes) { std::memcpy(areas_.recv, bytes.data(), bytes.size()); }

  ChannelAreas areas_;
  zorvik_kinetra::KinetraA a50_;
  zorvik_kinetra::KinetraA a90_;
};

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

TEST_F(KinetraATest, DefaultRangesOfBothSizes) {
  const zorvik::MitParam p50 = a50_.GetMitParam();
  const zorvik::MitParam p90 = a90_.GetMitParam();
  EXPECT_EQ(Bits(p50.position_min), 0xC0C90FDBu);
  EXPECT_EQ(Bits(p50.position_max), 0x40C90FDBu);
  EXPECT_EQ(Bits(p50.velocity_min), 0xC1490FDBu);
  EXPECT_EQ(Bits(p50.velocity_max), 0x41490FDBu);
  EXPECT_EQ(p50.effort_min, -50.0f);
  EXPECT_EQ(p50.effort_max, 50.0f);
  EXPECT_EQ(p90.effort_min, -100.0f);
  EXPECT_EQ(p90.effort_max, 100.0f);
  for (const auto& p : {p50, p90}) {
    EXPECT_EQ(p.kp_min, 0.0f);
    EXPECT_EQ(p.kp_max, 500.0f);
    EXPECT_EQ(p.kd_min, 0.0f);
    EXPECT_EQ(p.kd_max, 8.0f);
  }
}

TEST_F(KinetraATest, MitFrameOfZeroTruncatesHalfSteps) {
  a50_.SetMitCmd(0, 0, 0, 0, 0);
  EXPECT_EQ(Cmd50(), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
  // The frame has no command code and replaces all eight bytes.
  EXPECT_EQ(Cmd90(), Bytes(8, 0xAA));
}

TEST_F(KinetraATest, QuantisationAtTheRangeEnds) {
  const zorvik::MitParam p = a50_.GetMitParam();
  EXPECT_EQ(a50_.MitFloatToUint(p.position_max, p.position_min, p.position_max, 16), 65535);
  EXPECT_EQ(a50_.MitFloatToUint(p.position_min, p.position_min, p.position_max, 16), 0);
  EXPECT_EQ(a50_.MitFloatToUint(500.0f, p.kp_min, p.kp_max, 12), 4095);
  EXPECT_EQ(a50_.MitFloatToUint(1.0f, p.kd_min, p.kd_max, 12), 511);
  EXPECT_EQ(a50_.MitFloatToUint(10.0f, p.effort_min, p.effort_max, 12), 2457);
  EXPECT_EQ(a50_.MitFloatToUint(0.5f, p.velocity_min, p.velocity_max, 12), 2128);

  EXPECT_FLOAT_EQ(a50_.MitUintToFloat(0, p.position_min, p.position_max, 16), -6.2831855f);
  EXPECT_FLOAT_EQ(a50_.MitUintToFloat(65535, p.position_min, p.position_max, 16), 6.2831855f);
  EXPECT_FLOAT_EQ(a50_.MitUintToFloat(32768, p.position_min, p.position_max, 16), 9.584427e-05f);
}

TEST_F(KinetraATest, EveryFieldLandsInItsBits) {
  // kp = 500 (0xFFF) alone, then kd = 8 (0xFFF) and effort = 50 (0xFFF).
  a50_.SetMitCmd(-6.2831855f, -12.566371f, -50.0f, 500.0f, 0.0f);
  EXPECT_EQ(Cmd50(), (Bytes{0x00, 0x00, 0x00, 0x0F, 0xFF, 0x00, 0x00, 0x00}));
  a50_.SetMitCmd(-6.2831855f, -12.566371f, 50.0f, 0.0f, 8.0f);
  EXPECT_EQ(Cmd50(), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF}));
  a50_.SetMitCmd(6.2831855f, 12.566371f, -50.0f, 0.0f, 0.0f);
  EXPECT_EQ(Cmd50(), (Bytes{0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00, 0x00, 0x00}));
}

// Out-of-range values are held to their range: they neither wrap around nor
// spill into the neighbouring fields.
TEST_F(KinetraATest, OutOfRangeValuesSaturate) {
  a50_.SetMitCmd(0, 0.5f, 0, 0, 1000.0f);
  EXPECT_EQ(Cmd50(), (Bytes{0x7F, 0xFF, 0x85, 0x00, 0x00, 0xFF, 0xF7, 0xFF}));
  a90_.SetMitCmd(0, 0.5f, 0, 0, 2000.0f);
  EXPECT_EQ(Cmd90(), (Bytes{0x7F, 0xFF, 0x85, 0x00, 0x00, 0xFF, 0xF7, 0xFF}));

  // Just above the position range: maximum, not about -2*pi.
  a50_.SetMitCmd(6.3f, 0, 0, 0, 0);
  EXPECT_EQ(Cmd50()[0], 0xFF);
  EXPECT_EQ(Cmd50()[1], 0xFF);
  // kd 8.002 stays at the maximum instead of wrapping to 0.
  a50_.SetMitCmd(0, 0, 0, 0, 8.002f);
  EXPECT_EQ(Cmd50(), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0xFF, 0xF7, 0xFF}));
  // Too large kp and effort keep velocity and kd intact.
  a50_.SetMitCmd(0, -12.566371f, 400.0f, 9000.0f, 0);
  EXPECT_EQ(Cmd50(), (Bytes{0x7F, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0x0F, 0xFF}));
  // Below the range: minimum.
  a50_.SetMitCmd(-100.0f, -100.0f, -100.0f, -1.0f, -1.0f);
  EXPECT_EQ(Cmd50(), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  const float inf = std::numeric_limits<float>::infinity();
  a50_.SetMitCmd(inf, -inf, 1e10f, 1e10f, -1e10f);
  EXPECT_EQ(Cmd50(), (Bytes{0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0x0F, 0xFF}));
}

TEST_F(KinetraATest, NanEncodesLikeZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  a50_.SetMitCmd(nan, nan, nan, nan, nan);
  EXPECT_EQ(Cmd50(), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
}

TEST_F(KinetraATest, FeedbackFrameDecoding) {
  Feedback50({0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x02, 0x00, 0x00});
  EXPECT_FLOAT_EQ(a50_.GetPosition(), -9.584427e-05f);
  EXPECT_FLOAT_EQ(a50_.GetVelocity(), -0.0030689240f);
  EXPECT_FLOAT_EQ(a50_.GetEffort(), -0.012210846f);
  EXPECT_EQ(a50_.GetPowerState(), zorvik::STATE_ENABLE);

  Feedback50({0x00, 0x00, 0xFF, 0xFF, 0xFF});
  EXPECT_FLOAT_EQ(a50_.GetPosition(), -6.2831855f);
  EXPECT_FLOAT_EQ(a50_.GetVelocity(), 12.566371f);
  EXPECT_FLOAT_EQ(a50_.GetEffort(), 50.0f);
}

TEST_F(KinetraATest, PowerStateIsBitsOneToThreeOfByteFive) {
  const struct {
    uint8_t byte5;
    int state;
  } cases[] = {{0x00, 0}, {0x01, 0}, {0x02, 1}, {0x03, 1}, {0x0E, 7}, {0xF3, 1}, {0xF0, 0}, {0x04, 2}};
  for (const auto& c : cases) {
    areas_.recv[5] = c.byte5;
    EXPECT_EQ(static_cast<int>(a50_.GetPowerState()), c.state) << int(c.byte5);
  }
}

TEST_F(KinetraATest, SetMitParamChangesLaterDecoding) {
  Feedback50({0x00, 0x00, 0x00, 0x0F, 0xFF});
  EXPECT_FLOAT_EQ(a50_.GetEffort(), 50.0f);
  zorvik::MitParam p = a50_.GetMitParam();
  p.effort_min = -100.0f;
  p.effort_max = 100.0f;
  a50_.SetMitParam(p);
  EXPECT_FLOAT_EQ(a50_.GetEffort(), 100.0f);
  EXPECT_EQ(Cmd50(), Bytes(8, 0xAA));  // ranges only, nothing written
}

TEST_F(KinetraATest, CommandCodesWriteOnlyTheirBytes) {
  const Bytes untouched(8, 0xAA);
  struct Case {
    const char* what;
    void (*cmd)(zorvik_kinetra::KinetraA&);
    Bytes expect;
  };
  const Case cases[] = {
      {"enable", [](zorvik_kinetra::KinetraA& a) { a.RequestState(zorvik::STATE_ENABLE); },
       {0x01, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"disable", [](zorvik_kinetra::KinetraA& a) { a.RequestState(zorvik::STATE_DISABLE); },
       {0x01, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"clear", [](zorvik_kinetra::KinetraA& a) { a.ClearError(); },
       {0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"homing", [](zorvik_kinetra::KinetraA& a) { a.SetHomingPosition(); },
       {0x03, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"mode", [](zorvik_kinetra::KinetraA& a) { a.SetMode(static_cast<zorvik::ActautorMode>(5)); },
       {0x0B, 0x05, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"position", [](zorvik_kinetra::KinetraA& a) { a.SetPosition(1.0f); },
       {0x65, 0x00, 0x00, 0x80, 0x3F, 0xAA, 0xAA, 0xAA}},
      {"velocity", [](zorvik_kinetra::KinetraA& a) { a.SetVelocity(-2.0f); },
       {0x66, 0x00, 0x00, 0x00, 0xC0, 0xAA, 0xAA, 0xAA}},
      {"effort", [](zorvik_kinetra::KinetraA& a) { a.SetEffort(100.0f); },  // not clamped
       {0x67, 0x00, 0x00, 0xC8, 0x42, 0xAA, 0xAA, 0xAA}},
      {"save", [](zorvik_kinetra::KinetraA& a) { a.SaveConfig(); },
       {0xCC, 0x7B, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"shake", [](zorvik_kinetra::KinetraA& a) { a.ShakeHand(); },
       {0xCD, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
  };
  for (const Case& c : cases) {
    std::memset(areas_.send, 0xAA, sizeof(areas_.send));
    c.cmd(a50_);
    EXPECT_EQ(Cmd50(), c.expect) << c.what;
    EXPECT_EQ(Cmd90(), untouched) << c.what;
  }
}

// ---------------------------------------------------------------- KinetraB

TEST(KinetraB, BindingWritesTheDefaultEffort) {
  ChannelAreas areas(0);
  zorvik_kinetra::KinetraB b("b", 2, CHANNEL_2);
  EXPECT_EQ(b.GetType(), zorvik::KINETRA_B30);
  b.SetDataFiled(areas.send, areas.recv);
  EXPECT_EQ(Slice(areas.send + 8, 8), (Bytes{0, 0, 0, 0, 0x00, 0x00, 0x20, 0x40}));
  EXPECT_EQ(Slice(areas.send, 8), Bytes(8, 0));
  EXPECT_EQ(Slice(areas.send + 16, 8), Bytes(8, 0));
}

TEST(KinetraB, PositionAndEffortAreFloatsOfTheirOwnHalves) {
  ChannelAreas areas(0);
  zorvik_kinetra::KinetraB b("b", 1, CHANNEL_1);
  b.SetDataFiled(areas.send, areas.recv);

  b.SetMitCmd(9.0f, 1.0f, 7.0f, 100.0f, 1.0f);
  EXPECT_EQ(Slice(areas.send, 8), (Bytes{0x00, 0x00, 0x10, 0x41, 0x00, 0x00, 0x20, 0x40}));
  b.SetEffort(1.0f);
  EXPECT_EQ(Slice(areas.send, 8), (Bytes{0x00, 0x00, 0x10, 0x41, 0x00, 0x00, 0x80, 0x3F}));
  b.SetPosition(-2.0f);
  EXPECT_EQ(Slice(areas.send, 8), (Bytes{0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x80, 0x3F}));
  // Velocity has no field; the shake-hand code overwrites the position's low byte.
  b.SetVelocity(3.0f);
  b.ShakeHand();
  EXPECT_EQ(Slice(areas.send, 8), (Bytes{0xCD, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x80, 0x3F}));

  const uint8_t fb[] = {0x00, 0x00, 0x10, 0x41, 0x00, 0x00, 0x20, 0xC0};
  std::memcpy(areas.recv, fb, 8);
  EXPECT_EQ(b.GetPosition(), 9.0f);
  EXPECT_EQ(b.GetEffort(), -2.5f);
  EXPECT_EQ(b.GetVelocity(), 0.0f);
}

// Models without a power stage or command codes leave their slot alone.
template <typename Model>
void ExpectNoCommandCodes(Model& model, ChannelAreas& areas) {
  std::memset(areas.send, 0x5A, sizeof(areas.send));
  std::memset(areas.recv, 0xFF, sizeof(areas.recv));
  model.RequestState(zorvik::STATE_ENABLE);
  model.ClearError();
  model.SetHomingPosition();
  model.SaveConfig();
  model.SetMode(static_cast<zorvik::ActautorMode>(3));
  zorvik::MitParam wide{-1, 1, -1, 1, -1, 1, 0, 1, 0, 1};
  model.SetMitParam(wide);
  EXPECT_EQ(Slice(areas.send, 64), Bytes(64, 0x5A));
  EXPECT_EQ(model.GetPowerState(), zorvik::STATE_DISABLE);
  EXPECT_EQ(model.GetMode(), 0);
  EXPECT_EQ(model.GetTempure(), 0.0f);
  EXPECT_EQ(model.GetErrorString(), "None");
}

TEST(KinetraB, HasNoCommandCodes) {
  ChannelAreas areas;
  zorvik_kinetra::KinetraB b("b", 1, CHANNEL_1);
  b.SetDataFiled(areas.send, areas.recv);
  ExpectNoCommandCodes(b, areas);
}

// ----------------------------------------------------------------- Clavix

class ClavixTest : public testing::Test {
 protected:
  ClavixTest() : c_("grip", 3, CHANNEL_1) { c_.SetDataFiled(areas_.send, areas_.recv); }
  Bytes Cmd() const { return Slice(areas_.send + 16, 8); }
  ChannelAreas areas_;
  zorvik_clavix::Clavix c_;
};

TEST_F(ClavixTest, FractionsToBytes) {
  c_.SetMitCmd(1.0f, 0.3f, 1.0f, 10.0f, 2.0f);
  EXPECT_EQ(Cmd(), (Bytes{0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA}));
  c_.SetMitCmd(0.0f, 0, 1.0f, 0, 0);
  EXPECT_EQ(Cmd(), (Bytes{0xAA, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA}));
  const struct {
    float fraction;
    uint8_t byte;
  } cases[] = {{0.9f, 229}, {0.5f, 127}, {1.0000001f, 255}, {1e9f, 255}, {0.001f, 0}, {0.004f, 1}};
  for (const auto& c : cases) {
    c_.SetMitCmd(c.fraction, 0, c.fraction, 0, 0);
    EXPECT_EQ(Cmd()[1], c.byte) << c.fraction;
    EXPECT_EQ(Cmd()[2], c.byte) << c.fraction;
  }
}

TEST_F(ClavixTest, NegativeAndNanFractionsEncodeAsZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float cases[] = {-0.5f, -0.002f, -1e9f, -std::numeric_limits<float>::infinity(), nan};
  for (float f : cases) {
    c_.SetMitCmd(f, 0, f, 0, 0);
    EXPECT_EQ(Cmd(), (Bytes{0xAA, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA})) << f;
  }
}

TEST_F(ClavixTest, FeedbackBytesScaleByOne255th) {
  areas_.recv[16 + 2] = 229;
  areas_.recv[16 + 3] = 230;
  areas_.recv[16 + 4] = 255;
  EXPECT_FLOAT_EQ(c_.GetPosition(), 0.8980392f);
  EXPECT_FLOAT_EQ(c_.GetVelocity(), 0.9019608f);
  EXPECT_EQ(c_.GetEffort(), 1.0f);
}

TEST_F(ClavixTest, OnlyTheMitFrameCommandsTheGripper) {
  EXPECT_EQ(c_.GetType(), zorvik::CLAVIX);
  c_.SetPosition(0.5f);
  c_.SetVelocity(0.5f);
  c_.SetEffort(0.5f);
  EXPECT_EQ(Slice(areas_.send, 64), Bytes(64, 0xAA));
  ExpectNoCommandCodes(c_, areas_);
}

}  // namespace

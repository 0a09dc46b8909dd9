// The controller facade without a bus: registries, refusals and forwarding
// to nodes whose images hold nothing yet.
#include "controller/zorvik_controller.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_util.h"

namespace {

using ctltest::DebugLine;
using ctltest::ErrorLine;
using namespace zorvik;

class FacadeTest : public testing::Test {
 protected:
  void SetUp() override { ctl_ = ZorvikController::GetInstance(); }
  void TearDown() override { delete ZorvikController::GetInstance(); }

  // Runs call with standard output captured and returns what it printed.
  template <typename Call>
  std::string Printed(Call call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
  }
  void MakeDcu(const std::string& name, uint8_t ecat_id) {
    ASSERT_TRUE(Quiet([&] { return ctl_->CreateDcu(name, ecat_id); }));
  }
  void Attach(const std::string& dcu, CtrlChannel ch, ActuatorType type, const std::string& name,
              uint8_t id) {
    ASSERT_TRUE(Quiet([&] { return ctl_->AttachActuator(dcu, ch, type, name, id); }));
  }
  template <typename Call>
  bool Quiet(Call call) {
    bool ok = false;
    Printed([&] { ok = call(); });
    return ok;
  }

  ZorvikController* ctl_ = nullptr;
};

TEST_F(FacadeTest, SingleInstanceAndVersion) {
  EXPECT_EQ(ZorvikController::GetInstance(), ctl_);
  EXPECT_EQ(ctl_->GetVersion(), "0.5.0");
}

TEST_F(FacadeTest, CreateDcu) {
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(ctl_->CreateDcu("dcu1", 1)); }),
            DebugLine("Dcu dcu1 id 1 created."));
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(ctl_->CreateDcu("dcu1", 2)); }),
            ErrorLine("DCU dcu1 is already created, add failed."));
  // Position 0 would address every slave.
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(ctl_->CreateDcu("dcu0", 0)); }),
            ErrorLine("DCU dcu0 invalid ecat id 0, create failed."));
  EXPECT_TRUE(Quiet([&] { return ctl_->CreateDcu("dcu0", 255); }));
  // A second DCU with an id already in use is accepted.
  EXPECT_TRUE(Quiet([&] { return ctl_->CreateDcu("twin", 1); }));
}

TEST_F(FacadeTest, AttachRefusalsInTheirOrder) {
  MakeDcu("first", 1);
  MakeDcu("second", 2);
  Attach("first", CHANNEL_1, KINETRA_A50, "hip", 1);

  const struct {
    std::string dcu;
    CtrlChannel channel;
    int type;
    std::string name;
    int id;
    std::string line;
  } cases[] = {
      // The id comes first, before the DCU name is looked at.
      {"nowhere", CHANNEL_1, KINETRA_A50, "a", 0, ErrorLine("Actuator a invalid id 0, attach failed.")},
      {"nowhere", CHANNEL_1, KINETRA_A50, "a", 9, ErrorLine("Actuator a invalid id 9, attach failed.")},
      {"first", CHANNEL_1, CLAVIX, "a", 255, ErrorLine("Actuator a invalid id 255, attach failed.")},
      {"first", static_cast<CtrlChannel>(3), CLAVIX, "a", 1,
       ErrorLine("Actuator a invalid channel 4, attach failed.")},
      {"nowhere", CHANNEL_1, KINETRA_A50, "a", 1,
       ErrorLine("Can`t find DCU nowhere, attach actuator a failed.")},
      // Names are unique across the network; the line names the holder.
      {"second", CHANNEL_2, KINETRA_A90, "hip", 2,
       ErrorLine("Actuator hip is already attached on DCU first.")},
      {"second", CHANNEL_1, 4, "a", 1, ErrorLine("Actuator a type 4 is not supported.")},
      {"second", CHANNEL_1, 0, "a", 1, ErrorLine("Actuator a type 0 is not supported.")},
      {"second", CHANNEL_1, 6, "a", 1, ErrorLine("Actuator a type 6 is not supported.")},
      // Two actuators on one slot would overwrite each other's commands.
      {"first", CHANNEL_1, CLAVIX, "knee", 1,
       ErrorLine("Actuator knee id 1 is already used by actuator hip on DCU first Channel 1, "
                 "attach failed.")},
  };
  for (const auto& c : cases) {
    bool ok = true;
    const std::string out = Printed([&] {
      ok = ctl_->AttachActuator(c.dcu, c.channel, static_cast<ActuatorType>(c.type), c.name,
                                static_cast<uint8_t>(c.id));
    });
    EXPECT_FALSE(ok) << c.line;
    EXPECT_EQ(out, c.line);
  }
  // None of the refusals recorded anything: "a" and "knee" are still free,
  // and the same slot on another channel or DCU is fine.
  Attach("second", CHANNEL_1, CLAVIX, "a", 1);
  Attach("first", CHANNEL_2, KINETRA_B30, "knee", 1);
}

TEST_F(FacadeTest, AttachLineShowsTheChannelCountedFromOne) {
  MakeDcu("d", 1);
  bool ok = false;
  const std::string out =
      Printed([&] { ok = ctl_->AttachActuator("d", CHANNEL_2, KINETRA_A90, "elbow", 3); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(out, DebugLine("Attach actuator elbow 3 to DCU d Channel 2."));
}

TEST_F(FacadeTest, NinthActuatorOnAChannelIsRefusedAndNotRecorded) {
  MakeDcu("d", 1);
  // Eight actuators fill the channel; duplicate ids are refused before the
  // node sees them, so the ninth needs a slot that is free elsewhere.
  for (int id = 1; id <= 8; ++id) Attach("d", CHANNEL_1, CLAVIX, "g" + std::to_string(id), id);
  bool ok = true;
  const std::string out =
      Printed([&] { ok = ctl_->AttachActuator("d", CHANNEL_1, CLAVIX, "ninth", 1); });
  EXPECT_FALSE(ok);
  // The slot check names the actuator already there.
  EXPECT_EQ(out, ErrorLine("Actuator ninth id 1 is already used by actuator g1 on DCU d Channel 1, "
                           "attach failed."));
  EXPECT_FALSE(ctl_->ShakeHand("ninth"));
  Attach("d", CHANNEL_3, CLAVIX, "ninth", 1);
}

TEST_F(FacadeTest, ForwardingWithoutBusReadsTheEmptyImages) {
  MakeDcu("d", 1);
  Attach("d", CHANNEL_1, KINETRA_A50, "a50", 1);
  Attach("d", CHANNEL_1, KINETRA_B30, "b30", 2);
  Attach("d", CHANNEL_2, CLAVIX, "grip", 1);

  const std::string out = Printed([&] {
    // An all-zero feedback frame decodes to the bottom of each range.
    EXPECT_FLOAT_EQ(ctl_->GetPosition("a50"), -6.2831855f);
    EXPECT_FLOAT_EQ(ctl_->GetVelocity("a50"), -12.566371f);
    EXPECT_FLOAT_EQ(ctl_->GetEffort("a50"), -50.0f);
    MitParam p{-6.2831855f, 6.2831855f, -12.566371f, 12.566371f, -100, 100, 0, 500, 0, 8};
    ctl_->SetMitParam("a50", p);
    EXPECT_FLOAT_EQ(ctl_->GetEffort("a50"), -100.0f);
    EXPECT_EQ(ctl_->GetPowerState("a50"), STATE_DISABLE);
    EXPECT_EQ(ctl_->GetPosition("b30"), 0.0f);
    EXPECT_EQ(ctl_->GetPosition("grip"), 0.0f);
    // Models without a power stage need no device to enable or disable.
    EXPECT_TRUE(ctl_->EnableActuator("b30"));
    EXPECT_TRUE(ctl_->EnableActuator("grip"));
    EXPECT_TRUE(ctl_->DisableActuator("grip"));
    // A KinetraA reading all zeros counts as disabled.
    EXPECT_TRUE(ctl_->DisableActuator("a50"));
    EXPECT_TRUE(ctl_->DisableAllActuator());
    const ImuData imu = ctl_->GetDcuImuData("d");
    const ImuData zero{};
    EXPECT_EQ(std::memcmp(&imu, &zero, sizeof(imu)), 0);
  });
  EXPECT_EQ(out, "");
}

TEST_F(FacadeTest, UnknownNamesGiveNeutralResultsSilently) {
  MakeDcu("d", 1);
  Attach("d", CHANNEL_1, KINETRA_A50, "a50", 1);
  const std::string n = "ghost";
  const std::string out = Printed([&] {
    EXPECT_FALSE(ctl_->ShakeHand(n));
    EXPECT_FALSE(ctl_->EnableActuator(n));
    EXPECT_FALSE(ctl_->DisableActuator(n));
    EXPECT_EQ(ctl_->GetTempure(n), 0.0f);
    EXPECT_EQ(ctl_->GetPowerState(n), STATE_DISABLE);
    EXPECT_EQ(ctl_->GetMode(n), 0);
    EXPECT_EQ(ctl_->GetEffort(n), 0.0f);
    EXPECT_EQ(ctl_->GetVelocity(n), 0.0f);
    EXPECT_EQ(ctl_->GetPosition(n), 0.0f);
    ctl_->SetMitParam(n, MitParam{});
    ctl_->SetMitCmd(n, 1, 1, 1, 1, 1);
    ctl_->ApplyDcuImuOffset(n);
    const ImuData imu = ctl_->GetDcuImuData(n);
    const ImuData zero{};
    EXPECT_EQ(std::memcmp(&imu, &zero, sizeof(imu)), 0);
    ActuatorType type = KINETRA_A50;
    uint32_t info = 7;
    EXPECT_FALSE(ctl_->GetShakeHandInfo(n, type, info));
    EXPECT_EQ(type, TYPE_NONE);
    EXPECT_EQ(info, 0u);
    // A DCU name is not an actuator name.
    EXPECT_FALSE(ctl_->ShakeHand("d"));
  });
  EXPECT_EQ(out, "");
}

TEST_F(FacadeTest, NoDcusMeansAllEnabledAndDisabled) {
  EXPECT_TRUE(ctl_->EnableAllActuator());
  EXPECT_TRUE(ctl_->DisableAllActuator());
}

TEST_F(FacadeTest, StoppedControllerSettingsAndStop) {
  EXPECT_EQ(Printed([&] { ctl_->Stop(); }), "");
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(ctl_->SetRealtime(80, 1)); }), "");
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(ctl_->SetRealtime(-1, -1)); }), "");
}

TEST_F(FacadeTest, FailedStartLeavesTheControllerStopped) {
  MakeDcu("d", 1);
  bool ok = true;
  const std::string out = Printed([&] { ok = ctl_->Start("zv_no_such_if0", 1000000, true); });
  EXPECT_FALSE(ok);
  const std::string tail = ErrorLine("ZorvikController start failed.");
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  // Still stopped: settings may change and Stop has nothing to do.
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(ctl_->SetRealtime(-1, -1)); }), "");
  EXPECT_EQ(Printed([&] { ctl_->Stop(); }), "");
}

TEST_F(FacadeTest, DestroyedInstanceIsReplacedWithEmptyRegistries) {
  MakeDcu("d", 1);
  Attach("d", CHANNEL_1, KINETRA_A50, "a50", 1);
  delete ctl_;
  ctl_ = ZorvikController::GetInstance();
  ASSERT_NE(ctl_, nullptr);
  EXPECT_FALSE(ctl_->ShakeHand("a50"));
  MakeDcu("d", 1);
  Attach("d", CHANNEL_1, KINETRA_A50, "a50", 1);
}

}  // namespace

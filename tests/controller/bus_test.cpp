// The controller facade against the simulated DCU network: bring-up through
// the facade, confirmed commands of every model, MIT motion, IMU readings,
// and stopping and starting again.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "controller/zorvik_controller.h"
#include "test_util.h"
#include "tests/support/sim_bus.h"

namespace {

using namespace zorvik;
using ctltest::ErrorLine;
using ctltest::InfoLine;
using ctltest::WarnLine;

struct SimActuator {
  std::string name;
  int channel;  // 1..3, as in the configuration keys
  std::string type;
  int id;
};

// One DCU at position 1 with its IMU on, carrying the given actuators.
std::string OneDcuYaml(const std::vector<SimActuator>& actuators) {
  std::string yaml =
      "ZorvikController:\n"
      "  ethercat:\n"
      "    ifname: eth0\n"
      "    enable_dc: true\n"
      "    bind_cpu: -1\n"
      "    rt_priority: -1\n"
      "    cycle_time_ns: 1000000\n"
      "  dcu_network:\n"
      "    - name: dcu\n"
      "      ecat_id: 1\n"
      "      enable: true\n"
      "      imu_enable: true\n";
  for (int ch = 1; ch <= 3; ++ch) {
    std::string entries;
    for (const auto& a : actuators) {
      if (a.channel != ch) continue;
      entries += "        - {name: " + a.name + ", type: " + a.type +
                 ", can_id: " + std::to_string(a.id) + "}\n";
    }
    if (!entries.empty()) yaml += "      channel_" + std::to_string(ch) + ":\n" + entries;
  }
  return yaml;
}

ActuatorType TypeOf(const std::string& text) {
  if (text == "CLAVIX") return CLAVIX;
  if (text == "KINETRA_A50") return KINETRA_A50;
  if (text == "KINETRA_A90") return KINETRA_A90;
  if (text == "KINETRA_B30") return KINETRA_B30;
  return TYPE_NONE;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Repeats step every 10 ms until done() holds; gives up after limit.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit,
                const std::function<void()>& step = [] {}) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    step();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

float Magnitude(const ImuData& d) {
  return std::sqrt(d.acc[0] * d.acc[0] + d.acc[1] * d.acc[1] + d.acc[2] * d.acc[2]);
}

const std::vector<SimActuator> kEveryModel = {
    {"hip_a50", 1, "KINETRA_A50", 1},
    {"knee_a90", 1, "KINETRA_A90", 2},
    {"ankle_b30", 2, "KINETRA_B30", 1},
    {"grip", 3, "CLAVIX", 8},
};

class ControllerBus : public testing::Test {
 protected:
  ControllerBus() : actuators_(kEveryModel), bus_(OneDcuYaml(kEveryModel)) {}

  void SetUp() override {
    ctl_ = ZorvikController::GetInstance();
    ASSERT_TRUE(ctl_->CreateDcu("dcu", 1));
    for (const auto& a : actuators_) {
      ASSERT_TRUE(ctl_->AttachActuator("dcu", static_cast<CtrlChannel>(a.channel - 1),
                                       TypeOf(a.type), a.name, static_cast<uint8_t>(a.id)));
    }
  }
  void TearDown() override { delete ZorvikController::GetInstance(); }

  // Starts the bus and returns what was printed meanwhile.
  std::string StartBus(bool* ok) {
    testing::internal::CaptureStdout();
    *ok = ctl_->Start(bus_.ifname(), 1000000, true);
    return testing::internal::GetCapturedStdout();
  }
  void Start() {
    bool ok = false;
    const std::string out = StartBus(&ok);
    ASSERT_TRUE(ok) << out;
    ASSERT_TRUE(Contains(out, InfoLine("ZorvikController start successfully."))) << out;
  }

  std::vector<SimActuator> actuators_;
  simtest::SimBus bus_;
  ZorvikController* ctl_ = nullptr;
};

TEST_F(ControllerBus, EveryModelShakesHandsEnablesAndDisables) {
  Start();
  for (const auto& a : actuators_) EXPECT_TRUE(ctl_->ShakeHand(a.name)) << a.name;

  for (const auto& a : actuators_) EXPECT_TRUE(ctl_->EnableActuator(a.name)) << a.name;
  EXPECT_EQ(ctl_->GetPowerState("hip_a50"), STATE_ENABLE);
  EXPECT_EQ(ctl_->GetPowerState("knee_a90"), STATE_ENABLE);
  // Models without a power stage always read disabled.
  EXPECT_EQ(ctl_->GetPowerState("ankle_b30"), STATE_DISABLE);

  for (const auto& a : actuators_) EXPECT_TRUE(ctl_->DisableActuator(a.name)) << a.name;
  EXPECT_EQ(ctl_->GetPowerState("hip_a50"), STATE_DISABLE);
  EXPECT_EQ(ctl_->GetPowerState("knee_a90"), STATE_DISABLE);

  EXPECT_TRUE(ctl_->EnableAllActuator());
  EXPECT_EQ(ctl_->GetPowerState("knee_a90"), STATE_ENABLE);
  EXPECT_TRUE(ctl_->DisableAllActuator());

  testing::internal::CaptureStdout();
  ctl_->Stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Contains(out, InfoLine("ZorvikController stop successfully."))) << out;
}

TEST_F(ControllerBus, ActuatorsThatDoNotAnswerFail) {
  Start();
  bus_.Control("actuator hip_a50 fault no_handshake");
  bus_.Control("actuator knee_a90 fault no_enable");
  EXPECT_FALSE(ctl_->ShakeHand("hip_a50"));
  EXPECT_TRUE(ctl_->ShakeHand("knee_a90"));
  EXPECT_FALSE(ctl_->EnableActuator("knee_a90"));
  EXPECT_TRUE(ctl_->EnableActuator("hip_a50"));
  EXPECT_FALSE(ctl_->EnableAllActuator());
  bus_.Control("actuator knee_a90 fault none");
  EXPECT_TRUE(ctl_->EnableAllActuator());
  EXPECT_TRUE(ctl_->DisableAllActuator());
  ctl_->Stop();
}

TEST_F(ControllerBus, MitCommandsMoveTheJointsAndTheGripper) {
  Start();
  ASSERT_TRUE(ctl_->EnableActuator("hip_a50"));
  for (const float target : {1.0f, -0.5f}) {
    // The frame stays in the output image; repeating it does no harm.
    EXPECT_TRUE(Eventually([&] { return std::fabs(ctl_->GetPosition("hip_a50") - target) < 0.05f; },
                           std::chrono::seconds(10),
                           [&] { ctl_->SetMitCmd("hip_a50", target, 0, 0, 30, 1.5f); }))
        << "target " << target << " reached " << ctl_->GetPosition("hip_a50");
  }
  // Settled: hardly moving.
  EXPECT_TRUE(Eventually([&] { return std::fabs(ctl_->GetVelocity("hip_a50")) < 0.2f; },
                         std::chrono::seconds(5)));

  ctl_->SetMitCmd("ankle_b30", 2.0f, 0, 0, 0, 0);
  EXPECT_TRUE(Eventually([&] { return std::fabs(ctl_->GetPosition("ankle_b30") - 2.0f) < 0.05f; },
                         std::chrono::seconds(10)))
      << ctl_->GetPosition("ankle_b30");

  ctl_->SetMitCmd("grip", 0.8f, 0, 0.5f, 0, 0);
  EXPECT_TRUE(Eventually([&] { return std::fabs(ctl_->GetPosition("grip") - 0.8f) < 0.02f; },
                         std::chrono::seconds(10)))
      << ctl_->GetPosition("grip");

  EXPECT_TRUE(ctl_->DisableAllActuator());
  ctl_->Stop();
}

TEST_F(ControllerBus, ImuReadsGravity) {
  Start();
  EXPECT_TRUE(Eventually([&] { return std::fabs(Magnitude(ctl_->GetDcuImuData("dcu")) - 9.81f) < 0.1f; },
                         std::chrono::seconds(5)))
      << Magnitude(ctl_->GetDcuImuData("dcu"));
  ctl_->ApplyDcuImuOffset("dcu");
  bus_.Control("imu 1 magnitude 3.5");
  EXPECT_TRUE(Eventually([&] { return std::fabs(Magnitude(ctl_->GetDcuImuData("dcu")) - 3.5f) < 0.1f; },
                         std::chrono::seconds(5)))
      << Magnitude(ctl_->GetDcuImuData("dcu"));
  const ImuData none = ctl_->GetDcuImuData("no_such_dcu");
  EXPECT_EQ(Magnitude(none), 0.0f);
  ctl_->Stop();
}

TEST_F(ControllerBus, StopAndStartAgain) {
  Start();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ctl_->Start(bus_.ifname(), 1000000, true));
  EXPECT_FALSE(ctl_->SetRealtime(10, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            WarnLine("ZorvikController is already running.") +
                WarnLine("ZorvikController is running, can not set realtime."));

  testing::internal::CaptureStdout();
  ctl_->Stop();
  const std::string stopped = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Contains(stopped, InfoLine("ZorvikController stop successfully."))) << stopped;
  testing::internal::CaptureStdout();
  ctl_->Stop();
  EXPECT_TRUE(ctl_->SetRealtime(-1, -1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  Start();
  EXPECT_TRUE(ctl_->ShakeHand("hip_a50"));
  EXPECT_TRUE(ctl_->EnableActuator("hip_a50"));
  EXPECT_TRUE(ctl_->DisableActuator("hip_a50"));
  ctl_->Stop();
}

// A DCU at a position the network does not have: the start fails.
TEST(ControllerBusStart, MissingSlaveFailsTheStart) {
  simtest::SimBus bus(OneDcuYaml({{"j", 1, "KINETRA_A50", 1}}));
  ZorvikController* ctl = ZorvikController::GetInstance();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ctl->CreateDcu("dcu", 1));
  ASSERT_TRUE(ctl->CreateDcu("ghost", 2));
  const bool ok = ctl->Start(bus.ifname(), 1000000, true);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(ok);
  const std::string tail = ErrorLine("ZorvikController start failed.");
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_TRUE(ctl->SetRealtime(-1, -1));
  delete ctl;
}

}  // namespace

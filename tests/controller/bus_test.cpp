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
#include "tests/support/test_bus.h"

namespace {

using namespace zorvik;
using ctltest::ErrorLine;
using ctltest::InfoLine;
using ctltest::WarnLine;

// One DCU ("dcu_1" at position 1, IMU on) carrying the given actuators.
std::string OneDcuYaml(const std::vector<simtest::ActuatorEntry>& actuators,
                       const std::string& simulator = "") {
  simtest::ConfigOptions options;
  options.dcus = 1;
  options.actuators = actuators;
  options.simulator = simulator;
  return simtest::MakeConfig(options);
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

// {dcu position, channel 1..3, name, type, can_id}
const std::vector<simtest::ActuatorEntry> kEveryModel = {
    {1, 1, "hip_a50", "KINETRA_A50", 1},
    {1, 1, "knee_a90", "KINETRA_A90", 2},
    {1, 2, "ankle_b30", "KINETRA_B30", 1},
    {1, 3, "grip", "CLAVIX", 8},
};

// A field "key=value" of a simulator reply, or "" when absent.
std::string Field(const std::string& reply, const std::string& key) {
  const std::string tag = " " + key + "=";
  const size_t at = reply.find(tag);
  if (at == std::string::npos) return "";
  const size_t from = at + tag.size();
  return reply.substr(from, reply.find(' ', from) - from);
}

class ControllerBus : public testing::Test {
 protected:
  explicit ControllerBus(const std::string& simulator = "")
      : actuators_(kEveryModel), bus_(OneDcuYaml(kEveryModel, simulator)) {}

  void SetUp() override {
    std::string why;
    if (!simtest::TestBus::Available(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(bus_.ok()) << bus_.error();
    ctl_ = ZorvikController::GetInstance();
    testing::internal::CaptureStdout();
    bool ok = ctl_->CreateDcu("dcu_1", 1);
    for (const auto& a : actuators_) {
      ok = ok && ctl_->AttachActuator("dcu_1", static_cast<CtrlChannel>(a.channel - 1),
                                      TypeOf(a.type), a.name, static_cast<uint8_t>(a.can_id));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok) << out;
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

  // After a fault: the board comes back to OP, fresh IMU data arrive, and
  // every actuator answers a new handshake through the facade.
  void ExpectRecovered(const std::string& fault) {
    ASSERT_TRUE(Eventually([&] { return Contains(bus_.Control("get 1 state"), "state=OP "); },
                           std::chrono::seconds(20)))
        << fault << ": " << bus_.Control("get 1 state");
    bus_.Control("imu 1 magnitude 4.5");
    EXPECT_TRUE(Eventually([&] { return std::fabs(Magnitude(ctl_->GetDcuImuData("dcu_1")) - 4.5f) < 0.2f; },
                           std::chrono::seconds(5)))
        << fault;
    bus_.Control("imu 1 magnitude 9.81");
    for (const auto& a : actuators_) {
      // A changed command in the slot makes the next shake-hand a new one.
      if (a.type == "KINETRA_A50" || a.type == "KINETRA_A90") ctl_->DisableActuator(a.name);
      EXPECT_TRUE(ctl_->ShakeHand(a.name)) << fault << ": " << a.name;
    }
  }

  std::vector<simtest::ActuatorEntry> actuators_;
  simtest::TestBus bus_;
  ZorvikController* ctl_ = nullptr;
};

TEST_F(ControllerBus, EveryModelShakesHandsEnablesAndDisables) {
  Start();
  for (const auto& a : actuators_) {
    EXPECT_TRUE(ctl_->ShakeHand(a.name)) << a.name;
    EXPECT_EQ(Field(bus_.Control("get actuator " + a.name), "handshake"), "1") << a.name;
  }

  for (const auto& a : actuators_) EXPECT_TRUE(ctl_->EnableActuator(a.name)) << a.name;
  EXPECT_EQ(ctl_->GetPowerState("hip_a50"), STATE_ENABLE);
  EXPECT_EQ(ctl_->GetPowerState("knee_a90"), STATE_ENABLE);
  EXPECT_EQ(Field(bus_.Control("get actuator knee_a90"), "enabled"), "1");
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
  // Once repaired, a fresh request goes through (the board acts on a slot
  // whose contents changed, so the refused enable request is replaced first).
  bus_.Control("actuator knee_a90 fault none");
  EXPECT_TRUE(ctl_->DisableAllActuator());
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

TEST_F(ControllerBus, ImuReadsGravityAndTakesTheOffset) {
  Start();
  EXPECT_TRUE(Eventually(
      [&] { return std::fabs(Magnitude(ctl_->GetDcuImuData("dcu_1")) - 9.81f) < 0.1f; },
      std::chrono::seconds(5)))
      << Magnitude(ctl_->GetDcuImuData("dcu_1"));

  EXPECT_EQ(Field(bus_.Control("get 1 imu"), "offset_applied"), "0");
  ctl_->ApplyDcuImuOffset("dcu_1");
  // The flag was up for about 30 cycles: the board has seen it.
  EXPECT_EQ(Field(bus_.Control("get 1 imu"), "offset_applied"), "1");
  ctl_->ApplyDcuImuOffset("no_such_dcu");

  bus_.Control("imu 1 magnitude 3.5");
  EXPECT_TRUE(Eventually(
      [&] { return std::fabs(Magnitude(ctl_->GetDcuImuData("dcu_1")) - 3.5f) < 0.1f; },
      std::chrono::seconds(5)))
      << Magnitude(ctl_->GetDcuImuData("dcu_1"));
  EXPECT_EQ(Magnitude(ctl_->GetDcuImuData("no_such_dcu")), 0.0f);
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

// Boards in SAFE_OP keep a full working counter while their outputs count
// there (the simulator's default); with outputs not counted, a board that
// leaves OP shows up in the counter and the supervision repairs it.
class ControllerBusFaults : public ControllerBus {
 protected:
  ControllerBusFaults() : ControllerBus("outputs_count_in_safe_op: false\n") {}
};

TEST_F(ControllerBusFaults, ActuatorsAnswerAgainAfterBoardFaults) {
  Start();
  testing::internal::CaptureStdout();
  for (const auto& a : actuators_) EXPECT_TRUE(ctl_->ShakeHand(a.name)) << a.name;

  bus_.Control("board 1 state SAFE_OP error code 0x001B");
  ExpectRecovered("SAFE_OP with error");

  bus_.Control("board 1 state PRE_OP");
  ExpectRecovered("PRE_OP");

  // Silent for a few supervision passes, well short of the ten that declare
  // the link lost.
  bus_.Control("board 1 silent");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  bus_.Control("board 1 answer");
  ExpectRecovered("silent board");

  ctl_->Stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Contains(out, "is in SAFE_OP + ERROR, attempting ack.")) << out;
  EXPECT_TRUE(Contains(out, "reconfigured done.")) << out;
  EXPECT_TRUE(Contains(out, "lost. current state: 0x0000")) << out;
}

TEST_F(ControllerBus, ActuatorsAnswerAgainAfterTheCableWasPulled) {
  Start();
  testing::internal::CaptureStdout();
  for (const auto& a : actuators_) EXPECT_TRUE(ctl_->ShakeHand(a.name)) << a.name;

  bus_.Control("cable pull");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  bus_.Control("cable restore");
  ExpectRecovered("cable pulled");

  ctl_->Stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Contains(out, "Ecat link lost.")) << out;
  EXPECT_TRUE(Contains(out, "Ecat link resmed.")) << out;
}

// A confirmation counts only from the board's answer to a frame sent after
// the command. With the cable pulled right after a shake-hand was answered,
// the reply still held by the node (a valid type and information word, the
// board still in OP as last reported) answers no new shake-hand, and the
// enabled joint's disable is not confirmed; both waits end as soon as the
// board is known not to answer, well inside a second each.
TEST_F(ControllerBus, ReadingsFromBeforeACommandConfirmNothing) {
  Start();
  ASSERT_TRUE(ctl_->ShakeHand("knee_a90"));
  ASSERT_TRUE(ctl_->EnableActuator("knee_a90"));
  ctl_->SetMitCmd("knee_a90", 0, 0, 0, 0, 0);
  EXPECT_TRUE(Eventually([&] { return ctl_->ActuatorReadingFresh("knee_a90"); }, std::chrono::seconds(2)));
  EXPECT_TRUE(ctl_->ActuatorBoardAnswers("knee_a90"));
  // Only an enable written by this process may have enabled an actuator.
  EXPECT_TRUE(ctl_->ActuatorMayBeEnabled("knee_a90"));
  EXPECT_FALSE(ctl_->ActuatorMayBeEnabled("hip_a50"));
  EXPECT_FALSE(ctl_->ActuatorMayBeEnabled("no_such_actuator"));

  testing::internal::CaptureStdout();
  bus_.Control("cable pull");
  const auto pulled = std::chrono::steady_clock::now();
  EXPECT_FALSE(ctl_->ShakeHand("knee_a90"));
  EXPECT_FALSE(ctl_->DisableActuator("knee_a90"));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - pulled).count();
  EXPECT_LT(waited, 1.5) << "each wait would otherwise run out its second";
  EXPECT_FALSE(ctl_->ActuatorReadingFresh("knee_a90"));
  EXPECT_FALSE(ctl_->ActuatorBoardAnswers("knee_a90"));
  EXPECT_TRUE(ctl_->ActuatorMayBeEnabled("knee_a90"));

  // Back on the line, the disable is confirmed and nothing may be enabled.
  bus_.Control("cable restore");
  EXPECT_TRUE(Eventually([&] { return ctl_->DisableActuator("knee_a90"); }, std::chrono::seconds(20)));
  EXPECT_FALSE(ctl_->ActuatorMayBeEnabled("knee_a90"));
  EXPECT_TRUE(ctl_->ShakeHand("knee_a90"));
  ctl_->Stop();
  testing::internal::GetCapturedStdout();
}

// Sixteen powered joints on a board that falls silent, next to a sound
// board: the disables on the silent board fail without waiting, one after
// the other, and those on the sound board are confirmed.
TEST(ControllerBusSilentBoard, DisablesOnASilentBoardFailWithoutWaiting) {
  std::string why;
  if (!simtest::TestBus::Available(&why)) GTEST_SKIP() << why;
  std::vector<simtest::ActuatorEntry> actuators = {{1, 1, "body_joint", "KINETRA_A90", 1}};
  for (int i = 0; i < 16; ++i) {
    actuators.push_back({2, 1 + i / 8, "arm_" + std::to_string(i), i % 2 ? "KINETRA_A50" : "KINETRA_A90", 1 + i % 8});
  }
  simtest::ConfigOptions options;
  options.dcus = 2;
  options.actuators = actuators;
  simtest::TestBus bus(simtest::MakeConfig(options));
  ASSERT_TRUE(bus.ok()) << bus.error();
  ZorvikController* ctl = ZorvikController::GetInstance();
  testing::internal::CaptureStdout();
  bool ok = ctl->CreateDcu("dcu_1", 1) && ctl->CreateDcu("dcu_2", 2);
  for (const auto& a : actuators) {
    ok = ok && ctl->AttachActuator("dcu_" + std::to_string(a.dcu), static_cast<CtrlChannel>(a.channel - 1),
                                   TypeOf(a.type), a.name, static_cast<uint8_t>(a.can_id));
  }
  ok = ok && ctl->Start(bus.ifname(), 1000000, true);
  for (const auto& a : actuators) ok = ok && ctl->EnableActuator(a.name);
  ASSERT_TRUE(ok) << testing::internal::GetCapturedStdout();

  bus.Control("board 2 silent");
  const auto silenced = std::chrono::steady_clock::now();
  for (size_t i = 1; i < actuators.size(); ++i) {
    EXPECT_FALSE(ctl->DisableActuator(actuators[i].name)) << actuators[i].name;
    EXPECT_TRUE(ctl->ActuatorMayBeEnabled(actuators[i].name)) << actuators[i].name;
  }
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - silenced).count();
  // The first waits until the board is known silent; the others not at all.
  EXPECT_LT(waited, 2.0) << "16 waits of a second each otherwise";
  EXPECT_TRUE(ctl->DisableActuator("body_joint"));
  EXPECT_FALSE(ctl->ActuatorMayBeEnabled("body_joint"));
  EXPECT_TRUE(ctl->ActuatorBoardAnswers("body_joint"));
  EXPECT_FALSE(ctl->ActuatorBoardAnswers("arm_0"));
  ctl->Stop();
  testing::internal::GetCapturedStdout();
  delete ctl;
}

// A DCU at a position the network does not have: the start fails.
TEST(ControllerBusStart, MissingSlaveFailsTheStart) {
  std::string why;
  if (!simtest::TestBus::Available(&why)) GTEST_SKIP() << why;
  simtest::TestBus bus(OneDcuYaml({{1, 1, "j", "KINETRA_A50", 1}}));
  ASSERT_TRUE(bus.ok()) << bus.error();
  ZorvikController* ctl = ZorvikController::GetInstance();
  testing::internal::CaptureStdout();
  const bool created = ctl->CreateDcu("dcu_1", 1) && ctl->CreateDcu("ghost", 2);
  const bool ok = ctl->Start(bus.ifname(), 1000000, true);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(created);
  EXPECT_FALSE(ok);
  const std::string tail = ErrorLine("ZorvikController start failed.");
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_TRUE(ctl->SetRealtime(-1, -1));
  delete ctl;
}

}  // namespace

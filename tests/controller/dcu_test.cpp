// The DCU node driven through its images, with a stand-in for the cycle
// thread that answers commands through PushRecvData.
#include "controller/dcu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "controller/clavix.h"
#include "controller/kinetra.h"
#include "controller/kinetra_b.h"
#include "test_util.h"
#include "tests/manager/manager_test_access.h"

namespace {

using ctltest::Bytes;
using ctltest::Slice;
using ethercat_manager::ManagerTestAccess;
using namespace zorvik;

// ----------------------------------------------------------- image layout

TEST(DcuPacket, ImuFloatsAreBigEndian) {
  DcuRecvPacket packet{};
  const uint8_t g[] = {0x41, 0x1C, 0xCC, 0xCD};
  std::memcpy(packet.imu_acc, g, 4);
  const uint8_t minus_one[] = {0xBF, 0x80, 0x00, 0x00};
  std::memcpy(packet.imu_gyro + 8, minus_one, 4);
  const uint8_t half[] = {0x3F, 0x00, 0x00, 0x00};
  std::memcpy(packet.imu_quat + 12, half, 4);
  const ImuData d = DecodeImu(packet);
  EXPECT_EQ(d.acc[0], 9.8f);
  EXPECT_EQ(d.acc[1], 0.0f);
  EXPECT_EQ(d.gyro[2], -1.0f);
  EXPECT_EQ(d.quat[3], 0.5f);
  EXPECT_EQ(d.quat[0], 0.0f);
}

// ---------------------------------------------------------------- fixture

class DcuTest : public testing::Test {
 protected:
  DcuTest() {
    testing::internal::CaptureStdout();
    dcu_ = std::make_unique<Dcu>("dcu_a", 2);
    created_line_ = testing::internal::GetCapturedStdout();
  }
  ~DcuTest() override { StopDevice(); }

  // Registers a model and returns it (the node owns it).
  template <typename T, typename... Args>
  T* Add(Args&&... args) {
    T* a = new T(std::forward<Args>(args)...);
    EXPECT_TRUE(dcu_->RegisterActuator(a));
    return a;
  }
  zorvik_kinetra::KinetraA* AddA(const std::string& name, uint8_t id, CtrlChannel ch) {
    return Add<zorvik_kinetra::KinetraA>(name, id, ch, KINETRA_A50);
  }

  // Output image as the cycle thread sees it.
  Bytes Out() {
    Bytes out(sizeof(DcuSendPacket));
    dcu_->PullSendData(out.data(), static_cast<uint16_t>(out.size()));
    return out;
  }
  uint8_t Mask(CtrlChannel c) { return Out()[IdMaskOffset(c)]; }
  Bytes OutSlot(CtrlChannel c, uint8_t id) {
    return Slice(Out().data() + SendChannelBase(c) + 8 * (id - 1), 8);
  }
  void WriteInput(size_t offset, const Bytes& bytes) {
    std::memcpy(input_ + offset, bytes.data(), bytes.size());
    dcu_->PushRecvData(input_, sizeof(input_));
  }

  // A device stand-in on its own thread: every pass it reads the output
  // image, lets respond() turn it into the input image and pushes that, as
  // the cycle thread would.
  void StartDevice(std::function<void(const uint8_t* out, uint8_t* in)> respond) {
    device_ = std::thread([this, respond] {
      uint8_t out[sizeof(DcuSendPacket)];
      uint8_t in[sizeof(DcuRecvPacket)] = {};
      while (!stop_) {
        dcu_->PullSendData(out, sizeof(out));
        respond(out, in);
        dcu_->PushRecvData(in, sizeof(in));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  void StopDevice() {
    stop_ = true;
    if (device_.joinable()) device_.join();
  }

  std::unique_ptr<Dcu> dcu_;
  std::string created_line_;
  uint8_t input_[sizeof(DcuRecvPacket)] = {};
  std::thread device_;
  std::atomic<bool> stop_{false};
};

// A KinetraA device on channel c, id n: answers a handshake with its type and
// an info word, and reports the power state last requested.
void KinetraADevice(const uint8_t* out, uint8_t* in, CtrlChannel c, uint8_t n) {
  if (!(out[IdMaskOffset(c)] & IdMask(n))) return;  // not addressed
  const uint8_t* cmd = out + SendChannelBase(c) + 8 * (n - 1);
  uint8_t* fb = in + RecvChannelBase(c) + 8 * (n - 1);
  if (cmd[0] == kShakeHandCode) {
    fb[0] = KINETRA_A50;
    fb[1] = 0x00;
    fb[2] = 0x01;
    fb[3] = 0x02;
  } else if (cmd[0] == zorvik_kinetra::kCmdRequestState) {
    std::memset(fb, 0, 8);
    fb[5] = static_cast<uint8_t>(cmd[1] << 1);
  }
}

TEST_F(DcuTest, ConstructionLineAndZeroImages) {
  EXPECT_EQ(created_line_, ctltest::DebugLine("Dcu dcu_a id 2 created."));
  EXPECT_EQ(dcu_->GetName(), "dcu_a");
  EXPECT_EQ(dcu_->Id(), 2);
  EXPECT_EQ(Out(), Bytes(240, 0));
  const ImuData imu = dcu_->GetImuData();
  const ImuData zero{};
  EXPECT_EQ(std::memcmp(&imu, &zero, sizeof(imu)), 0);
  EXPECT_TRUE(dcu_->EnableAllActuator());
  EXPECT_TRUE(dcu_->DisableAllActuator());
}

TEST_F(DcuTest, InitChecksBothMappedSizes) {
  // What was expected, in words (a slave that is not a DCU meets these lines).
  const std::string send_type = "DCU output image";
  const std::string recv_type = "DCU input image";
  struct Case {
    uint16_t send, recv;
    bool ok;
    std::string line;
  } cases[] = {
      {240, 240, true, ""},
      {200, 236, false,
       ctltest::ErrorLine("CmdType " + send_type + " size does not match. target 240, actual 200")},
      {240, 236, false,
       ctltest::ErrorLine("StateType " + recv_type +
                          " size does not match. target 240, actual 236")},
      {0, 240, false,
       ctltest::ErrorLine("CmdType " + send_type + " size does not match. target 240, actual 0")},
  };
  for (const Case& c : cases) {
    ManagerTestAccess::SetMappedSizes(*dcu_, c.send, c.recv);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dcu_->Init(), c.ok) << c.send << "/" << c.recv;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
  }
}

TEST_F(DcuTest, StateChangeLinesNameOldAndNewState) {
  using ethercat_manager::NodeState;
  const struct {
    int from, to;
    const char* text;
  } cases[] = {
      {0, 1, "NONE -> INIT"},        {1, 2, "INIT -> PRE_OP"},
      {2, 4, "PRE_OP -> SAFE_OP"},   {4, 8, "SAFE_OP -> OP"},
      {8, 20, "OP -> UNKNOWN"},      {20, 16, "UNKNOWN -> ACK_OR_ERROR"},
      {3, 0x12, "BOOT -> UNKNOWN"},
  };
  for (const auto& c : cases) {
    ManagerTestAccess::SetState(*dcu_, static_cast<NodeState>(c.from));
    testing::internal::CaptureStdout();
    dcu_->OnStateChangeHook(static_cast<NodeState>(c.to));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ctltest::DebugLine(std::string("Dcu dcu_a 2, state change: ") + c.text));
  }
}

TEST_F(DcuTest, SlotsFollowChannelAndId) {
  AddA("c3_1", 1, CHANNEL_3);
  AddA("c1_8", 8, CHANNEL_1);
  dcu_->SetPosition("c3_1", 1.0f);
  dcu_->SaveConfig("c1_8");
  const Bytes out = Out();
  EXPECT_EQ(Slice(out.data() + 131, 8), (Bytes{0x65, 0x00, 0x00, 0x80, 0x3F, 0, 0, 0}));
  EXPECT_EQ(out[130], 0x01);
  EXPECT_EQ(Slice(out.data() + 57, 8), (Bytes{0xCC, 0x7B, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(out[0], 0x80);
  EXPECT_EQ(out[65], 0x00);

  WriteInput(128, {0xFF, 0xFF});
  WriteInput(56, {0x00, 0x00});
  EXPECT_FLOAT_EQ(dcu_->GetPosition("c3_1"), 6.2831855f);
  EXPECT_FLOAT_EQ(dcu_->GetPosition("c1_8"), -6.2831855f);
}

TEST_F(DcuTest, AddressingByteAfterEachCommand) {
  AddA("a3", 3, CHANNEL_2);
  AddA("a5", 5, CHANNEL_2);
  Add<zorvik_kinetra::KinetraB>("b1", 1, CHANNEL_2);
  AddA("other", 5, CHANNEL_1);

  dcu_->ClearError("a5");
  EXPECT_EQ(Mask(CHANNEL_2), 0x10);
  dcu_->SetHomingPosition("a3");  // the bit of id 5 is not kept
  EXPECT_EQ(Mask(CHANNEL_2), 0x04);
  dcu_->SetMitCmd("a5", 0, 0, 0, 0, 0);
  EXPECT_EQ(Mask(CHANNEL_2), 0xFF);
  EXPECT_EQ(OutSlot(CHANNEL_2, 5), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
  dcu_->SetMitParam("a3", MitParam{-1, 1, -1, 1, -1, 1, 0, 1, 0, 1});
  EXPECT_EQ(Mask(CHANNEL_2), 0xFF);
  dcu_->SetPosition("b1", 2.0f);
  EXPECT_EQ(Mask(CHANNEL_2), 0x01);
  dcu_->SetEffort("a3", 1.0f);
  EXPECT_EQ(Mask(CHANNEL_2), 0x04);
  dcu_->SetVelocity("b1", 1.0f);  // no velocity on a KinetraB: only addressing
  EXPECT_EQ(Mask(CHANNEL_2), 0x01);
  EXPECT_EQ(OutSlot(CHANNEL_2, 1), (Bytes{0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x20, 0x40}));
  // Other channels are not touched.
  EXPECT_EQ(Mask(CHANNEL_1), 0x00);
  EXPECT_EQ(Mask(CHANNEL_3), 0x00);
  dcu_->SaveConfig("other");
  EXPECT_EQ(Mask(CHANNEL_1), 0x10);
  EXPECT_EQ(Mask(CHANNEL_2), 0x01);
}

TEST_F(DcuTest, UnknownNamesGiveNeutralResultsAndTouchNothing) {
  AddA("known", 1, CHANNEL_1);
  WriteInput(0, {0x12, 0x34, 0x56, 0x78, 0x9A, 0x02, 0, 0});
  const Bytes before = Out();
  const std::string n = "nobody";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(dcu_->ShakeHand(n));
  EXPECT_FALSE(dcu_->EnableActuator(n));
  EXPECT_FALSE(dcu_->DisableActuator(n));
  EXPECT_FALSE(dcu_->SetMode(n, static_cast<ActautorMode>(0)));
  dcu_->ClearError(n);
  dcu_->SetHomingPosition(n);
  dcu_->SaveConfig(n);
  dcu_->SetEffort(n, 1);
  dcu_->SetVelocity(n, 1);
  dcu_->SetPosition(n, 1);
  dcu_->SetMitCmd(n, 1, 1, 1, 1, 1);
  dcu_->SetMitParam(n, MitParam{});
  EXPECT_EQ(dcu_->GetTempure(n), 0.0f);
  EXPECT_EQ(dcu_->GetErrorString(n), "");
  EXPECT_EQ(dcu_->GetPowerState(n), STATE_DISABLE);
  EXPECT_EQ(dcu_->GetMode(n), 0);
  EXPECT_EQ(dcu_->GetEffort(n), 0.0f);
  EXPECT_EQ(dcu_->GetVelocity(n), 0.0f);
  EXPECT_EQ(dcu_->GetPosition(n), 0.0f);
  EXPECT_EQ(dcu_->GetActautor(n), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Out(), before);
  // The known actuator's error text is the model's.
  EXPECT_EQ(dcu_->GetErrorString("known"), "None");
  EXPECT_EQ(dcu_->GetPowerState("known"), STATE_ENABLE);
}

TEST_F(DcuTest, NinthActuatorOnAChannelIsRefused) {
  for (uint8_t id = 1; id <= 8; ++id) AddA("m" + std::to_string(id), id, CHANNEL_1);
  auto* ninth = new zorvik_kinetra::KinetraA("ninth", 1, CHANNEL_1, KINETRA_A50);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(dcu_->RegisterActuator(ninth));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            ctltest::ErrorLine("Channel 0 has too many devices, ninth register failed."));
  EXPECT_EQ(dcu_->GetActautor("ninth"), nullptr);
  EXPECT_EQ(dcu_->GetActautor(CHANNEL_1, 1)->GetName(), "m1");
  delete ninth;  // refused: still the caller's
  // Another channel still takes actuators.
  AddA("c2", 1, CHANNEL_2);
  EXPECT_EQ(dcu_->GetActautor(CHANNEL_2, 1)->GetName(), "c2");
  EXPECT_EQ(dcu_->GetActautor(CHANNEL_2, 2), nullptr);
}

TEST_F(DcuTest, IdsAndChannelsOutsideTheImagesAreRefused) {
  const struct {
    uint8_t id;
    int channel;
    std::string line;
  } cases[] = {
      {0, 0, ctltest::ErrorLine("Actuator x invalid id 0, register failed.")},
      {9, 0, ctltest::ErrorLine("Actuator x invalid id 9, register failed.")},
      {255, 2, ctltest::ErrorLine("Actuator x invalid id 255, register failed.")},
      {1, 3, ctltest::ErrorLine("Channel 3 is invalid, x register failed.")},
  };
  for (const auto& c : cases) {
    zorvik_clavix::Clavix x("x", c.id, static_cast<CtrlChannel>(c.channel));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dcu_->RegisterActuator(&x));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    EXPECT_EQ(dcu_->GetActautor("x"), nullptr);
  }
  EXPECT_EQ(Out(), Bytes(240, 0));
}

// ------------------------------------------------- confirmation polling

TEST_F(DcuTest, PollsSeeFeedbackPushedByAnotherThread) {
  AddA("joint", 4, CHANNEL_3);
  StartDevice([](const uint8_t* out, uint8_t* in) { KinetraADevice(out, in, CHANNEL_3, 4); });

  EXPECT_TRUE(dcu_->ShakeHand("joint"));
  EXPECT_EQ(OutSlot(CHANNEL_3, 4)[0], 0xCD);
  EXPECT_EQ(Mask(CHANNEL_3), 0x08);

  EXPECT_TRUE(dcu_->EnableActuator("joint"));
  EXPECT_EQ(dcu_->GetPowerState("joint"), STATE_ENABLE);
  EXPECT_EQ(Slice(OutSlot(CHANNEL_3, 4).data(), 2), (Bytes{0x01, 0x01}));

  EXPECT_TRUE(dcu_->DisableActuator("joint"));
  EXPECT_EQ(dcu_->GetPowerState("joint"), STATE_DISABLE);
  EXPECT_EQ(Slice(OutSlot(CHANNEL_3, 4).data(), 2), (Bytes{0x01, 0x00}));

  EXPECT_TRUE(dcu_->EnableAllActuator());
  EXPECT_TRUE(dcu_->DisableAllActuator());
}

TEST_F(DcuTest, ConcurrentWaitsOnTwoActuatorsOfOneNode) {
  AddA("left", 1, CHANNEL_1);
  AddA("right", 2, CHANNEL_2);
  StartDevice([](const uint8_t* out, uint8_t* in) {
    KinetraADevice(out, in, CHANNEL_1, 1);
    KinetraADevice(out, in, CHANNEL_2, 2);
  });
  bool left_ok = false;
  std::thread other([&] { left_ok = dcu_->EnableActuator("left"); });
  const bool right_ok = dcu_->EnableActuator("right");
  other.join();
  EXPECT_TRUE(left_ok);
  EXPECT_TRUE(right_ok);
}

TEST_F(DcuTest, ShakeHandNeedsTypeAndInfoWord) {
  AddA("mute", 1, CHANNEL_1);
  // A reply with a valid type but a zero info word, then an invalid type
  // with info bytes: neither counts.
  StartDevice([](const uint8_t*, uint8_t* in) {
    static int pass = 0;
    const uint8_t reply[2][4] = {{2, 0, 0, 0}, {9, 1, 2, 3}};
    std::memcpy(in, reply[pass++ & 1], 4);
  });
  EXPECT_FALSE(dcu_->ShakeHand("mute"));
  // The request stays in the slot.
  EXPECT_EQ(OutSlot(CHANNEL_1, 1)[0], 0xCD);
}

TEST_F(DcuTest, ShakeHandInfoIsTheSlotsLastReplyAndUnknownNamesLeaveTheOutputs) {
  AddA("first", 1, CHANNEL_1);
  AddA("third", 3, CHANNEL_2);
  WriteInput(RecvChannelBase(CHANNEL_2) + 8 * 2, {KINETRA_A50, 0x01, 0x02, 0x03});
  ActuatorType type = TYPE_NONE;
  uint32_t info = 0;
  ASSERT_TRUE(dcu_->GetShakeHandInfo("third", type, info));
  EXPECT_EQ(type, KINETRA_A50);
  EXPECT_EQ(info, 0x010203u);
  // Another slot's reply is its own: nothing there yet.
  ASSERT_TRUE(dcu_->GetShakeHandInfo("first", type, info));
  EXPECT_EQ(type, TYPE_NONE);
  EXPECT_EQ(info, 0u);
  type = KINETRA_A50;
  info = 7;
  EXPECT_FALSE(dcu_->GetShakeHandInfo("ghost", type, info));
  EXPECT_EQ(type, KINETRA_A50);
  EXPECT_EQ(info, 7u);
}

TEST_F(DcuTest, EnableTimesOutWhenTheDeviceNeverConfirms) {
  AddA("stuck", 2, CHANNEL_1);
  WriteInput(8, {0, 0, 0, 0, 0, 0x04, 0, 0});  // state 2: neither on nor off
  EXPECT_FALSE(dcu_->EnableActuator("stuck"));
  EXPECT_FALSE(dcu_->DisableActuator("stuck"));
  // The last request is still in place.
  EXPECT_EQ(Slice(OutSlot(CHANNEL_1, 2).data(), 2), (Bytes{0x01, 0x00}));
  EXPECT_FALSE(dcu_->EnableAllActuator());
}

TEST_F(DcuTest, ModelsWithoutPowerStage) {
  Add<zorvik_kinetra::KinetraB>("b", 1, CHANNEL_1);
  Add<zorvik_clavix::Clavix>("g", 2, CHANNEL_1);
  const Bytes before = Out();
  EXPECT_TRUE(dcu_->EnableActuator("b"));
  EXPECT_TRUE(dcu_->EnableActuator("g"));
  EXPECT_EQ(Out(), before);  // nothing written, addressing byte included
  EXPECT_TRUE(dcu_->DisableActuator("b"));
  EXPECT_EQ(Mask(CHANNEL_1), 0x01);
  EXPECT_TRUE(dcu_->DisableActuator("g"));
  EXPECT_EQ(Mask(CHANNEL_1), 0x02);
  EXPECT_TRUE(dcu_->EnableAllActuator());
  EXPECT_TRUE(dcu_->DisableAllActuator());
}

TEST_F(DcuTest, SetModeComparesWithTheReportedMode) {
  AddA("m", 1, CHANNEL_1);
  EXPECT_TRUE(dcu_->SetMode("m", static_cast<ActautorMode>(0)));
  EXPECT_EQ(Slice(OutSlot(CHANNEL_1, 1).data(), 2), (Bytes{0x0B, 0x00}));
  // No model reports a mode other than 0.
  EXPECT_FALSE(dcu_->SetMode("m", static_cast<ActautorMode>(3)));
  EXPECT_EQ(Slice(OutSlot(CHANNEL_1, 1).data(), 2), (Bytes{0x0B, 0x03}));
}

TEST_F(DcuTest, ImuOffsetPulseEndsLowered) {
  std::atomic<bool> seen_other{false};
  StartDevice([&seen_other](const uint8_t* out, uint8_t*) {
    if (out[195] > 1) seen_other = true;
  });
  const auto start = std::chrono::steady_clock::now();
  dcu_->ImuAppleUserOffset();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(30));
  StopDevice();
  EXPECT_FALSE(seen_other);
  EXPECT_EQ(Out(), Bytes(240, 0));
}

TEST_F(DcuTest, ImuReadingsUnderConcurrentUpdates) {
  // The cycle stand-in writes a consistent vector each pass; readers must
  // never see a half-written one.
  StartDevice([](const uint8_t*, uint8_t* in) {
    static uint32_t n = 0;
    const uint8_t a[2][4] = {{0x41, 0x1C, 0xCC, 0xCD}, {0xC1, 0x1C, 0xCC, 0xCD}};
    for (int i = 0; i < 3; ++i) std::memcpy(in + 192 + 4 * i, a[n & 1], 4);
    ++n;
  });
  for (int i = 0; i < 200; ++i) {
    const ImuData d = dcu_->GetImuData();
    EXPECT_TRUE(d.acc[0] == d.acc[1] && d.acc[1] == d.acc[2]) << i;
  }
}

// ------------------------------------------------ fresh readings on a bus

// A stand-in for the cycle thread of a running bus: numbers the frames and
// keeps the node's record of them as the bus manager does; while the board
// "answers", its inputs of each frame are copied in, otherwise only the
// frame numbers advance. The node is gated and in OP.
class DcuOnBusTest : public DcuTest {
 protected:
  void StartBus(std::function<void(const uint8_t* out, uint8_t* in)> respond) {
    dcu_->SetBusGate([] { return false; });
    dcu_->OnStateChangeHook(ethercat_manager::OP);
    device_ = std::thread([this, respond] {
      uint8_t out[sizeof(DcuSendPacket)];
      uint8_t in[sizeof(DcuRecvPacket)] = {};
      uint64_t frame = 1;
      while (!stop_) {
        // The reply to frame - 1 ...
        if (answering_) {
          dcu_->PushRecvData(in, sizeof(in));
          ManagerTestAccess::SetAnsweredFrame(*dcu_, frame - 1);
          ManagerTestAccess::SetHeard(*dcu_, frame - 1, NowNs());
        }
        ManagerTestAccess::SetLatestFrame(*dcu_, frame - 1);
        // ... then frame goes out with the outputs.
        ManagerTestAccess::SetOutputsFrame(*dcu_, frame);
        dcu_->PullSendData(out, sizeof(out));
        respond(out, in);
        ++frame;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  static int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  std::atomic<bool> answering_{true};
};

// The reply a board sent before it fell silent (a valid shake-hand, the
// enabled state) confirms nothing new: the shake-hand and the disable fail,
// at once rather than after their second, and the enabled joint stays
// "may be enabled". Answering again, the board confirms both.
TEST_F(DcuOnBusTest, RepliesFromBeforeTheCommandConfirmNothing) {
  AddA("joint", 1, CHANNEL_1);
  AddA("spare", 2, CHANNEL_1);
  StartBus([](const uint8_t* out, uint8_t* in) { KinetraADevice(out, in, CHANNEL_1, 1); });
  ASSERT_TRUE(dcu_->ShakeHand("joint"));
  ASSERT_TRUE(dcu_->EnableActuator("joint"));
  EXPECT_TRUE(dcu_->MayBeEnabled("joint"));
  EXPECT_FALSE(dcu_->MayBeEnabled("spare"));
  dcu_->SetMitCmd("joint", 0, 0, 0, 0, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(dcu_->FreshSinceCommand("joint"));

  answering_ = false;
  const auto silent = std::chrono::steady_clock::now();
  EXPECT_FALSE(dcu_->ShakeHand("joint"));
  EXPECT_FALSE(dcu_->DisableActuator("joint"));
  EXPECT_LT(std::chrono::steady_clock::now() - silent, std::chrono::milliseconds(1500));
  EXPECT_FALSE(dcu_->Answering());
  EXPECT_FALSE(dcu_->FreshSinceCommand("joint"));
  EXPECT_TRUE(dcu_->MayBeEnabled("joint"));

  answering_ = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(dcu_->DisableActuator("joint"));
  EXPECT_FALSE(dcu_->MayBeEnabled("joint"));
  EXPECT_TRUE(dcu_->ShakeHand("joint"));
  // An enable written after a confirmed disable counts again.
  EXPECT_TRUE(dcu_->EnableActuator("joint"));
  EXPECT_TRUE(dcu_->MayBeEnabled("joint"));
}

// A wait in progress ends when the waits are cut (the first Ctrl-C); a wait
// begun afterwards is not affected.
TEST_F(DcuOnBusTest, CutEndsOnlyTheWaitsInProgress) {
  AddA("stuck", 1, CHANNEL_1);
  AddA("joint", 2, CHANNEL_1);
  StartBus([](const uint8_t* out, uint8_t* in) { KinetraADevice(out, in, CHANNEL_1, 2); });
  std::thread cutter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Dcu::CutWaitsInProgress();
  });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(dcu_->EnableActuator("stuck"));  // never confirmed by the device
  cutter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
  EXPECT_TRUE(dcu_->EnableActuator("joint"));
}

}  // namespace

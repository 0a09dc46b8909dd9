#include "controller/dcu.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "base/clock.h"
#include "base/log.h"

namespace zorvik {

namespace {

// Confirmation polling: one feedback read every 10 ms, at most 100 reads.
constexpr long kPollPeriodNs = 10 * 1000 * 1000;
constexpr int kMaxPolls = 100;
// How long the IMU apply-offset flag stays raised.
constexpr long kImuOffsetPulseNs = 30 * 1000 * 1000;
// A board counts as not answering when the cycle thread went through at
// least kSilentFrames frames and kSilentNs since its last answer: longer
// than a computer that is scheduled late loses frames in one run, far
// shorter than a confirmation wait.
constexpr uint64_t kSilentFrames = 3;
constexpr int64_t kSilentNs = 200 * 1000 * 1000LL;
// Confirmation waits that began before a cut end at their next poll.
std::atomic<uint64_t> wait_cuts{0};

using zorvik_clock::MonotonicNs;

void SleepNs(long ns) { zorvik_clock::SleepForNs(ns); }

const char* StateName(int32_t state) {
  switch (state) {
    case ethercat_manager::NONE: return "NONE";
    case ethercat_manager::INIT: return "INIT";
    case ethercat_manager::PRE_OP: return "PRE_OP";
    case ethercat_manager::BOOT: return "BOOT";
    case ethercat_manager::SAFE_OP: return "SAFE_OP";
    case ethercat_manager::OP: return "OP";
    case ethercat_manager::ACK_OR_ERROR: return "ACK_OR_ERROR";
    default: return "UNKNOWN";
  }
}

}  // namespace

ImuData DecodeImu(const DcuRecvPacket& packet) {
  ImuData data{};
  for (int i = 0; i < 3; ++i) {
    data.acc[i] = zorvik_utils::BytesToFloat(packet.imu_acc + 4 * i);
    data.gyro[i] = zorvik_utils::BytesToFloat(packet.imu_gyro + 4 * i);
  }
  for (int j = 0; j < 4; ++j) data.quat[j] = zorvik_utils::BytesToFloat(packet.imu_quat + 4 * j);
  return data;
}

Dcu::Dcu(std::string name, int ecat_id)
    : EthercatNode(ecat_id), dcu_name_(std::move(name)), send_packet_{}, recv_packet_{} {
  ZORVIK_LOG_DEBUG("Dcu %s id %u created.", dcu_name_.c_str(), static_cast<unsigned>(ecat_id));
}

Dcu::~Dcu() {
  // Every accepted actuator is in exactly one channel list.
  for (auto& entry : channel_map_) {
    for (Actuator* actuator : entry.second) delete actuator;
  }
  channel_map_.clear();
  actuator_map_.clear();
}

bool Dcu::Init() {
  if (SendSize() != sizeof(DcuSendPacket)) {
    ZORVIK_LOG_ERROR("CmdType %s size does not match. target %lu, actual %u",
                     "DCU output image",
                     static_cast<unsigned long>(sizeof(DcuSendPacket)),
                     static_cast<unsigned>(SendSize()));
    return false;
  }
  if (RecvSize() != sizeof(DcuRecvPacket)) {
    ZORVIK_LOG_ERROR("StateType %s size does not match. target %lu, actual %u",
                     "DCU input image",
                     static_cast<unsigned long>(sizeof(DcuRecvPacket)),
                     static_cast<unsigned>(RecvSize()));
    return false;
  }
  return true;
}

void Dcu::OnStateChangeHook(ethercat_manager::NodeState state) {
  ZORVIK_LOG_DEBUG("Dcu %s %d, state change: %s -> %s", dcu_name_.c_str(), Id(),
                   StateName(State()), StateName(state));
  reported_state_.store(state);
}

void Dcu::SetBusGate(std::function<bool()> link_lost) {
  link_lost_ = std::move(link_lost);
  gated_ = true;
}

bool Dcu::InOp() const { return reported_state_.load() == ethercat_manager::OP; }

bool Dcu::Answering() const {
  if (!gated_) return true;
  const uint64_t heard = HeardFrame();
  const uint64_t latest = LatestFrame();
  if (latest < heard + kSilentFrames) return true;
  return MonotonicNs() - HeardNs() < kSilentNs;
}

bool Dcu::FreshSinceCommand(const std::string& name) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return false;
  if (!gated_) return true;
  uint64_t command_frame = 0;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    command_frame = CommandFrame(*actuator);
  }
  return InOp() && Answering() && AnsweredFrame() > command_frame;
}

bool Dcu::MayBeEnabled(const std::string& name) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return false;
  std::lock_guard<std::mutex> lock(send_mutex_);
  return EnableRequested(*actuator);
}

void Dcu::CutWaitsInProgress() { wait_cuts.fetch_add(1); }

uint64_t& Dcu::CommandFrame(const Actuator& actuator) {
  return command_frame_[actuator.GetChannel()][actuator.GetId() - 1];
}

bool& Dcu::EnableRequested(const Actuator& actuator) {
  return enable_requested_[actuator.GetChannel()][actuator.GetId() - 1];
}

uint8_t* Dcu::GetSendBuf() { return reinterpret_cast<uint8_t*>(&send_packet_); }

uint8_t* Dcu::GetRecvBuf() { return reinterpret_cast<uint8_t*>(&recv_packet_); }

std::string Dcu::GetName() { return dcu_name_; }

bool Dcu::RegisterActuator(Actuator* actuator) {
  const CtrlChannel channel = actuator->GetChannel();
  const uint8_t id = actuator->GetId();
  // A slot outside the channel's eight would lie outside the images.
  if (channel > CHANNEL_3) {
    ZORVIK_LOG_ERROR("Channel %d is invalid, %s register failed.", static_cast<int>(channel),
                     actuator->GetName().c_str());
    return false;
  }
  if (id == 0 || id > kSlotsPerChannel) {
    ZORVIK_LOG_ERROR("Actuator %s invalid id %d, register failed.", actuator->GetName().c_str(),
                     static_cast<int>(id));
    return false;
  }
  std::vector<Actuator*>& list = channel_map_[channel];
  if (list.size() >= kSlotsPerChannel) {
    ZORVIK_LOG_ERROR("Channel %d has too many devices, %s register failed.",
                     static_cast<int>(channel), actuator->GetName().c_str());
    return false;
  }
  actuator->SetDataFiled(GetSendBuf() + SendChannelBase(channel),
                         GetRecvBuf() + RecvChannelBase(channel));
  actuator_map_[actuator->GetName()] = actuator;
  list.push_back(actuator);
  return true;
}

Actuator* Dcu::GetActautor(const std::string& name) {
  auto it = actuator_map_.find(name);
  return it == actuator_map_.end() ? nullptr : it->second;
}

Actuator* Dcu::GetActautor(CtrlChannel channel, uint8_t id) {
  auto it = channel_map_.find(channel);
  if (it == channel_map_.end()) return nullptr;
  for (Actuator* actuator : it->second) {
    if (actuator->GetId() == id) return actuator;
  }
  return nullptr;
}

void Dcu::SetChannelId(CtrlChannel channel, uint8_t id) {
  GetSendBuf()[IdMaskOffset(channel)] = IdMask(id);
}

ImuData Dcu::GetImuData() {
  std::lock_guard<std::mutex> lock(recv_mutex_);
  return DecodeImu(recv_packet_);
}

void Dcu::ImuAppleUserOffset() {
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    send_packet_.imu_apply_offset = 1;
  }
  SleepNs(kImuOffsetPulseNs);
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    send_packet_.imu_apply_offset = 0;
  }
}

template <typename Done>
bool Dcu::PollFeedback(Done done, bool gate, uint64_t command_frame) {
  gate = gate && gated_;
  const uint64_t cuts = wait_cuts.load();
  for (int i = 0; i < kMaxPolls; ++i) {
    // With the link lost, or the board silent, nothing can be confirmed: no
    // waiting it out.
    if (gate && link_lost_ && link_lost_()) return false;
    if (gate && !Answering()) return false;
    if (wait_cuts.load() != cuts) return false;
    SleepNs(kPollPeriodNs);
    if (gate && !InOp()) continue;
    std::lock_guard<std::mutex> lock(recv_mutex_);
    // The receive buffer holds the board's answer to AnsweredFrame() (the
    // cycle thread stores the number after the copy, under no lock of ours,
    // so a newer copy may already be in: it is fresher still).
    if (gate && AnsweredFrame() <= command_frame) continue;
    if (done()) return true;
  }
  return false;
}

namespace {

// Text of a model of this system, or null for a code that names none.
const char* ModelText(ActuatorType type) {
  const ActuatorModel* model = FindModel(type);
  return model == nullptr ? nullptr : model->text;
}

// Whether the actuator's model has a power stage to switch; an actuator of
// no model in the table is driven as one that has.
bool HasPowerStage(const Actuator& actuator) {
  const ActuatorModel* model = FindModel(actuator.GetType());
  return model == nullptr || model->has_power_stage;
}

// The shake-hand reply names the device's model: an actuator of another
// model than configured is driven with the wrong ranges (a KINETRA_A50 has
// half the effort range of a KINETRA_A90), so say so. Codes that name no
// model of this system are left alone.
void WarnOnModelMismatch(const Actuator& actuator, ActuatorType answered) {
  const char* configured = ModelText(actuator.GetType());
  const char* reported = ModelText(answered);
  if (configured == nullptr || reported == nullptr || answered == actuator.GetType()) return;
  ZORVIK_LOG_WARN("Actuator %s is configured as %s but answers as %s.", actuator.GetName().c_str(),
                  configured, reported);
}

}  // namespace

template <typename Write>
uint64_t Dcu::WriteCommand(Actuator& actuator, Write write) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  write(actuator);
  SetChannelId(actuator.GetChannel(), actuator.GetId());
  ++commands_written_;
  CommandFrame(actuator) = OutputsFrame() + 1;
  return CommandFrame(actuator);
}

template <typename T, typename Read>
T Dcu::ReadFeedback(const std::string& name, T none, Read read) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return none;
  std::lock_guard<std::mutex> lock(recv_mutex_);
  return read(*actuator);
}

bool Dcu::ShakeHand(const std::string& name) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return false;
  const uint64_t frame = WriteCommand(*actuator, [](Actuator& a) { a.ShakeHand(); });
  // A valid reply has a type of 1 to 7 and a non-zero information word.
  ActuatorType answered = TYPE_NONE;
  const bool ok = PollFeedback([actuator, &answered] {
    uint32_t info = 0;
    actuator->GetShakeHandInfo(answered, info);
    return answered != TYPE_NONE && info != 0;
  }, true, frame);
  if (ok) WarnOnModelMismatch(*actuator, answered);
  return ok;
}

bool Dcu::EnableActuator(const std::string& name) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return false;
  // A model without a power stage has nothing to switch; on a running bus
  // the board must at least answer, in OP, a frame sent from now on to count
  // as ready.
  if (!HasPowerStage(*actuator)) {
    if (!gated_) return true;
    uint64_t frame = 0;
    {
      std::lock_guard<std::mutex> lock(send_mutex_);
      frame = OutputsFrame() + 1;
    }
    return PollFeedback([] { return true; }, true, frame);
  }
  const uint64_t frame = WriteCommand(*actuator, [this](Actuator& a) {
    a.RequestState(STATE_ENABLE);
    EnableRequested(a) = true;
    enable_written_[a.GetChannel()][a.GetId() - 1] = commands_written_ + 1;
  });
  return PollFeedback([actuator] { return actuator->GetPowerState() == STATE_ENABLE; }, true, frame);
}

bool Dcu::DisableActuator(const std::string& name) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return false;
  uint64_t written = 0;
  const uint64_t frame = WriteCommand(*actuator, [this, &written](Actuator& a) {
    a.RequestState(STATE_DISABLE);
    written = commands_written_ + 1;
  });
  // A model without a power stage cannot stay enabled: it is confirmed
  // whatever the board's state.
  const bool has_power_stage = HasPowerStage(*actuator);
  const bool confirmed = PollFeedback([actuator] { return actuator->GetPowerState() == STATE_DISABLE; },
                                      has_power_stage, frame);
  if (confirmed) {
    std::lock_guard<std::mutex> lock(send_mutex_);
    // Unless an enable was written meanwhile.
    if (enable_written_[actuator->GetChannel()][actuator->GetId() - 1] < written) {
      EnableRequested(*actuator) = false;
    }
  }
  return confirmed;
}

bool Dcu::SetMode(const std::string& name, ActautorMode mode) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return false;
  const uint64_t frame = WriteCommand(*actuator, [mode](Actuator& a) { a.SetMode(mode); });
  return PollFeedback([actuator, mode] {
    return static_cast<uint8_t>(actuator->GetMode()) == static_cast<uint8_t>(mode);
  }, true, frame);
}

bool Dcu::EnableAllActuator() {
  for (const auto& entry : actuator_map_) {
    if (!EnableActuator(entry.first)) return false;
  }
  return true;
}

bool Dcu::DisableAllActuator() {
  for (const auto& entry : actuator_map_) {
    if (!DisableActuator(entry.first)) return false;
  }
  return true;
}

// Plain commands: write the slot and the channel's addressing byte under one
// holding of the send lock. Plain reads: decode under the receive lock.

void Dcu::ClearError(const std::string& name) {
  if (Actuator* actuator = GetActautor(name)) {
    WriteCommand(*actuator, [](Actuator& a) { a.ClearError(); });
  }
}

void Dcu::SetHomingPosition(const std::string& name) {
  if (Actuator* actuator = GetActautor(name)) {
    WriteCommand(*actuator, [](Actuator& a) { a.SetHomingPosition(); });
  }
}

void Dcu::SaveConfig(const std::string& name) {
  if (Actuator* actuator = GetActautor(name)) {
    WriteCommand(*actuator, [](Actuator& a) { a.SaveConfig(); });
  }
}

void Dcu::SetEffort(const std::string& name, float effort) {
  if (Actuator* actuator = GetActautor(name)) {
    WriteCommand(*actuator, [effort](Actuator& a) { a.SetEffort(effort); });
  }
}

void Dcu::SetVelocity(const std::string& name, float velocity) {
  if (Actuator* actuator = GetActautor(name)) {
    WriteCommand(*actuator, [velocity](Actuator& a) { a.SetVelocity(velocity); });
  }
}

void Dcu::SetPosition(const std::string& name, float position) {
  if (Actuator* actuator = GetActautor(name)) {
    WriteCommand(*actuator, [position](Actuator& a) { a.SetPosition(position); });
  }
}

void Dcu::SetMitCmd(const std::string& name, float position, float velocity, float effort,
                    float kp, float kd) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return;
  std::lock_guard<std::mutex> lock(send_mutex_);
  actuator->SetMitCmd(position, velocity, effort, kp, kd);
  // MIT frames go out on every slot of the channel.
  SetChannelId(actuator->GetChannel(), 255);
  CommandFrame(*actuator) = OutputsFrame() + 1;
}

void Dcu::SetMitParam(const std::string& name, MitParam param) {
  Actuator* actuator = GetActautor(name);
  if (actuator == nullptr) return;
  std::lock_guard<std::mutex> lock(send_mutex_);
  actuator->SetMitParam(param);
}

float Dcu::GetTempure(const std::string& name) {
  return ReadFeedback<float>(name, 0.0f, [](Actuator& a) { return a.GetTempure(); });
}

std::string Dcu::GetErrorString(const std::string& name) {
  return ReadFeedback<std::string>(name, std::string(), [](Actuator& a) { return a.GetErrorString(); });
}

ActautorState Dcu::GetPowerState(const std::string& name) {
  return ReadFeedback<ActautorState>(name, STATE_DISABLE,
                                     [](Actuator& a) { return a.GetPowerState(); });
}

ActautorMode Dcu::GetMode(const std::string& name) {
  return ReadFeedback<ActautorMode>(name, static_cast<ActautorMode>(0),
                                    [](Actuator& a) { return a.GetMode(); });
}

float Dcu::GetEffort(const std::string& name) {
  return ReadFeedback<float>(name, 0.0f, [](Actuator& a) { return a.GetEffort(); });
}

float Dcu::GetVelocity(const std::string& name) {
  return ReadFeedback<float>(name, 0.0f, [](Actuator& a) { return a.GetVelocity(); });
}

float Dcu::GetPosition(const std::string& name) {
  return ReadFeedback<float>(name, 0.0f, [](Actuator& a) { return a.GetPosition(); });
}

bool Dcu::GetShakeHandInfo(const std::string& name, ActuatorType& type, uint32_t& info) {
  return ReadFeedback<bool>(name, false, [&](Actuator& a) {
    a.GetShakeHandInfo(type, info);
    return true;
  });
}

}  // namespace zorvik

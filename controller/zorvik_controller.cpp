#include "controller/zorvik_controller.h"

#include <unordered_map>

#include "base/log.h"
#include "controller/actuator_models.h"
#include "ethercat_manager/ethercat_manager.h"

namespace zorvik {

namespace {

using DcuMap = std::unordered_map<std::string, Dcu*>;

// Module-level objects: one each per process, built before main. They are
// never destroyed, so they outlive the controller instance whatever the order
// in which static objects of the program are torn down at exit (a program
// may hold the instance in a static owner that is released after them).
ethercat_manager::EthercatConfig& ecat_config_ = *new ethercat_manager::EthercatConfig();
ethercat_manager::EthercatManager& ecat_manager_ = *new ethercat_manager::EthercatManager();
// Every DCU node by its name; the nodes belong to the controller instance.
DcuMap& dcu_map_ = *new DcuMap();
// The DCU node holding each attached actuator (non-owning).
DcuMap& actuator_dcu_map_ = *new DcuMap();

Dcu* FindDcu(const std::string& dcu_name) {
  auto it = dcu_map_.find(dcu_name);
  return it == dcu_map_.end() ? nullptr : it->second;
}

Dcu* FindActuatorDcu(const std::string& actuator_name) {
  auto it = actuator_dcu_map_.find(actuator_name);
  return it == actuator_dcu_map_.end() ? nullptr : it->second;
}

}  // namespace

ZorvikController* ZorvikController::instance_ = nullptr;

ZorvikController* ZorvikController::GetInstance() {
  if (instance_ == nullptr) instance_ = new ZorvikController();
  return instance_;
}

ZorvikController::~ZorvikController() {
  Stop();
  for (auto& entry : dcu_map_) {
    // The bus manager keeps plain node pointers: drop the ones about to go.
    ecat_manager_.UnregisterNode(entry.second);
    delete entry.second;
  }
  // The registries outlive the instance; leave them empty rather than
  // pointing at destroyed nodes.
  dcu_map_.clear();
  actuator_dcu_map_.clear();
  if (instance_ == this) instance_ = nullptr;
}

bool ZorvikController::SetRealtime(int rt_priority, int bind_cpu) {
  if (running_) {
    ZORVIK_LOG_WARN("ZorvikController is running, can not set realtime.");
    return false;
  }
  ecat_config_.rt_priority = rt_priority;
  ecat_config_.bind_cpu = bind_cpu;
  return true;
}

bool ZorvikController::CreateDcu(std::string dcu_name, uint8_t ecat_id) {
  // Position 0 would address every slave on the bus.
  if (ecat_id == 0) {
    ZORVIK_LOG_ERROR("DCU %s invalid ecat id 0, create failed.", dcu_name.c_str());
    return false;
  }
  if (dcu_map_.count(dcu_name) != 0) {
    ZORVIK_LOG_ERROR("DCU %s is already created, add failed.", dcu_name.c_str());
    return false;
  }
  dcu_map_[dcu_name] = new Dcu(dcu_name, ecat_id);
  return true;
}

bool ZorvikController::AttachActuator(std::string dcu_name, CtrlChannel channel,
                                      ActuatorType type, std::string actuator_name, uint8_t id) {
  if (id == 0) {
    ZORVIK_LOG_ERROR("Actuator %s invalid id 0, attach failed.", actuator_name.c_str());
    return false;
  }
  // Ids 1 to 8 select the channel's eight slots; anything above would place
  // the slot outside the channel.
  if (id > kSlotsPerChannel) {
    ZORVIK_LOG_ERROR("Actuator %s invalid id %d, attach failed.", actuator_name.c_str(),
                     static_cast<int>(id));
    return false;
  }
  if (channel > CHANNEL_3) {
    ZORVIK_LOG_ERROR("Actuator %s invalid channel %d, attach failed.", actuator_name.c_str(),
                     static_cast<int>(channel) + 1);
    return false;
  }
  Dcu* dcu = FindDcu(dcu_name);
  if (dcu == nullptr) {
    ZORVIK_LOG_ERROR("Can`t find DCU %s, attach actuator %s failed.", dcu_name.c_str(),
                     actuator_name.c_str());
    return false;
  }
  if (Dcu* holder = FindActuatorDcu(actuator_name)) {
    ZORVIK_LOG_ERROR("Actuator %s is already attached on DCU %s.", actuator_name.c_str(),
                     holder->GetName().c_str());
    return false;
  }
  const ActuatorModel* model = FindModel(type);
  if (model == nullptr) {
    ZORVIK_LOG_ERROR("Actuator %s type %d is not supported.", actuator_name.c_str(),
                     static_cast<int>(type));
    return false;
  }
  // Two actuators with one id on one channel would share a slot.
  if (Actuator* other = dcu->GetActautor(channel, id)) {
    ZORVIK_LOG_ERROR("Actuator %s id %d is already used by actuator %s on DCU %s Channel %d, "
                     "attach failed.",
                     actuator_name.c_str(), static_cast<int>(id), other->GetName().c_str(),
                     dcu_name.c_str(), static_cast<int>(channel) + 1);
    return false;
  }

  Actuator* actuator = model->create(actuator_name, id, channel);
  ZORVIK_LOG_DEBUG("Attach actuator %s %d to DCU %s Channel %d.", actuator_name.c_str(),
                   static_cast<int>(id), dcu_name.c_str(), static_cast<int>(channel) + 1);
  if (!dcu->RegisterActuator(actuator)) {
    // The node printed why; the refused object belongs to nobody else.
    delete actuator;
    return false;
  }
  actuator_dcu_map_[actuator_name] = dcu;
  return true;
}

bool ZorvikController::Start(std::string ifname, uint64_t cycle_time_ns, bool enable_dc) {
  if (running_) {
    ZORVIK_LOG_WARN("ZorvikController is already running.");
    return true;
  }
  for (auto& entry : dcu_map_) {
    ecat_manager_.RegisterNode(entry.second);
    entry.second->SetBusGate([] { return ecat_manager_.LinkLost(); });
  }
  ecat_config_.ifname = std::move(ifname);
  ecat_config_.cycle_time_ns = cycle_time_ns;
  ecat_config_.enable_dc = enable_dc;
  running_ = ecat_manager_.Start(ecat_config_);
  if (running_) {
    ZORVIK_LOG_INFO("ZorvikController start successfully.");
  } else {
    ZORVIK_LOG_ERROR("ZorvikController start failed.");
  }
  return running_;
}

void ZorvikController::Stop() {
  if (!running_) return;
  ecat_manager_.Stop();
  running_ = false;
  ZORVIK_LOG_INFO("ZorvikController stop successfully.");
}

std::string ZorvikController::GetVersion() {
  constexpr int kMajor = 0;
  constexpr int kMinor = 5;
  constexpr int kPatch = 0;
  return std::to_string(kMajor) + "." + std::to_string(kMinor) + "." + std::to_string(kPatch);
}

ImuData ZorvikController::GetDcuImuData(const std::string& dcu_name) {
  Dcu* dcu = FindDcu(dcu_name);
  return dcu == nullptr ? ImuData{} : dcu->GetImuData();
}

void ZorvikController::ApplyDcuImuOffset(const std::string& dcu_name) {
  if (Dcu* dcu = FindDcu(dcu_name)) dcu->ImuAppleUserOffset();
}

bool ZorvikController::ShakeHand(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->ShakeHand(actuator_name);
}

bool ZorvikController::EnableActuator(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->EnableActuator(actuator_name);
}

bool ZorvikController::DisableActuator(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->DisableActuator(actuator_name);
}

float ZorvikController::GetTempure(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu == nullptr ? 0.0f : dcu->GetTempure(actuator_name);
}

ActautorState ZorvikController::GetPowerState(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu == nullptr ? STATE_DISABLE : dcu->GetPowerState(actuator_name);
}

ActautorMode ZorvikController::GetMode(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu == nullptr ? static_cast<ActautorMode>(0) : dcu->GetMode(actuator_name);
}

float ZorvikController::GetEffort(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu == nullptr ? 0.0f : dcu->GetEffort(actuator_name);
}

float ZorvikController::GetVelocity(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu == nullptr ? 0.0f : dcu->GetVelocity(actuator_name);
}

float ZorvikController::GetPosition(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu == nullptr ? 0.0f : dcu->GetPosition(actuator_name);
}

void ZorvikController::SetMitParam(const std::string& actuator_name, MitParam param) {
  if (Dcu* dcu = FindActuatorDcu(actuator_name)) dcu->SetMitParam(actuator_name, param);
}

void ZorvikController::SetMitCmd(const std::string& actuator_name, float position, float velocity,
                                 float effort, float kp, float kd) {
  if (Dcu* dcu = FindActuatorDcu(actuator_name)) {
    dcu->SetMitCmd(actuator_name, position, velocity, effort, kp, kd);
  }
}

bool ZorvikController::EnableAllActuator() {
  for (auto& entry : dcu_map_) {
    if (!entry.second->EnableAllActuator()) return false;
  }
  return true;
}

bool ZorvikController::DisableAllActuator() {
  for (auto& entry : dcu_map_) {
    if (!entry.second->DisableAllActuator()) return false;
  }
  return true;
}

// --- Bus supervision as the programs see it -------------------------------

bool ZorvikController::ActuatorBoardInOp(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->InOp();
}

bool ZorvikController::DcuInOp(const std::string& dcu_name) {
  Dcu* dcu = FindDcu(dcu_name);
  return dcu != nullptr && dcu->InOp();
}

bool ZorvikController::ActuatorReadingFresh(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->FreshSinceCommand(actuator_name);
}

bool ZorvikController::ActuatorBoardAnswers(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->InOp() && dcu->Answering();
}

bool ZorvikController::DcuAnswers(const std::string& dcu_name) {
  Dcu* dcu = FindDcu(dcu_name);
  return dcu != nullptr && dcu->Answering();
}

bool ZorvikController::ActuatorDcu(const std::string& actuator_name, std::string& dcu_name, int& ecat_id) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  if (dcu == nullptr) return false;
  dcu_name = dcu->GetName();
  ecat_id = dcu->Id();
  return true;
}

bool ZorvikController::ActuatorMayBeEnabled(const std::string& actuator_name) {
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->MayBeEnabled(actuator_name);
}

bool ZorvikController::LinkLost() { return ecat_manager_.LinkLost(); }

void ZorvikController::RequestAbort() {
  ecat_manager_.RequestAbort();
  Dcu::CutWaitsInProgress();
}

ethercat_manager::BusFigures ZorvikController::GetBusFigures() { return ecat_manager_.Figures(); }

bool ZorvikController::ReadBoardCounters(int position, ethercat_manager::CounterReading* out) {
  return ecat_manager_.ReadErrorCounters(position, out);
}

bool ZorvikController::GetShakeHandInfo(const std::string& actuator_name, ActuatorType& type,
                                        uint32_t& info) {
  type = TYPE_NONE;
  info = 0;
  Dcu* dcu = FindActuatorDcu(actuator_name);
  return dcu != nullptr && dcu->GetShakeHandInfo(actuator_name, type, info);
}

// --- Register reads of a program while the bus runs -----------------------

bool ZorvikController::ReadBoardRegisters(int position, uint16_t reg, uint8_t* data, int length, bool by_position) {
  return ecat_manager_.ReadSlaveRegisters(position, reg, data, length, by_position);
}

}  // namespace zorvik

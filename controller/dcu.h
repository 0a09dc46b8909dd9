// DCU node: the EtherCAT node of one DCU board, its process-data images and
// the actuators on its three channels.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/actuator.h"
#include "ethercat_manager/ethercat_node.h"

namespace zorvik {

// Output image (master to DCU). Channel c's addressing byte sits at 65 * c,
// its eight 8-byte command slots right behind it.
#pragma pack(push, 1)
struct DcuSendPacket {
  uint8_t ch1_id_mask;
  uint8_t ch1_slots[64];
  uint8_t ch2_id_mask;
  uint8_t ch2_slots[64];
  uint8_t ch3_id_mask;
  uint8_t ch3_slots[64];
  uint8_t imu_apply_offset;
  uint8_t reserved[44];
};

// Input image (DCU to master). Channel c's feedback slots start at 64 * c;
// the IMU floats are big-endian.
struct DcuRecvPacket {
  uint8_t ch1_slots[64];
  uint8_t ch2_slots[64];
  uint8_t ch3_slots[64];
  uint8_t imu_acc[12];
  uint8_t imu_gyro[12];
  uint8_t imu_quat[16];
  uint8_t reserved[8];
};
#pragma pack(pop)

static_assert(sizeof(DcuSendPacket) == 240, "DCU output image must be 240 bytes");
static_assert(sizeof(DcuRecvPacket) == 240, "DCU input image must be 240 bytes");
static_assert(offsetof(DcuSendPacket, ch2_id_mask) == 65, "channel 2 block");
static_assert(offsetof(DcuSendPacket, ch3_id_mask) == 130, "channel 3 block");
static_assert(offsetof(DcuSendPacket, imu_apply_offset) == 195, "IMU flag");
static_assert(offsetof(DcuRecvPacket, ch2_slots) == 64, "channel 2 feedback");
static_assert(offsetof(DcuRecvPacket, ch3_slots) == 128, "channel 3 feedback");
static_assert(offsetof(DcuRecvPacket, imu_acc) == 192, "IMU acceleration");
static_assert(offsetof(DcuRecvPacket, imu_gyro) == 204, "IMU angular rate");
static_assert(offsetof(DcuRecvPacket, imu_quat) == 216, "IMU quaternion");

// Decoded IMU readings; all zero means no data.
struct ImuData {
  float acc[3];
  float gyro[3];
  float quat[4];
};

// Offsets of channel c's areas and of actuator (c, id)'s slots in the images.
constexpr size_t SendChannelBase(CtrlChannel c) { return 65 * static_cast<size_t>(c) + 1; }
constexpr size_t RecvChannelBase(CtrlChannel c) { return 64 * static_cast<size_t>(c); }
constexpr size_t IdMaskOffset(CtrlChannel c) { return 65 * static_cast<size_t>(c); }
// Addressing byte for an actuator id: its single bit, or 255 for every slot.
constexpr uint8_t IdMask(uint8_t id) {
  return id == 255 ? 255 : static_cast<uint8_t>(1u << ((id - 1) & 31));
}
// Decodes the IMU fields of an input image.
ImuData DecodeImu(const DcuRecvPacket& packet);

// Slots per channel; valid actuator ids are 1 to kSlotsPerChannel.
constexpr size_t kSlotsPerChannel = 8;

class Dcu : public ethercat_manager::EthercatNode {
 public:
  Dcu(std::string name, int ecat_id);
  ~Dcu() override;

  bool Init() override;
  void OnStateChangeHook(ethercat_manager::NodeState state) override;
  uint8_t* GetSendBuf() override;
  uint8_t* GetRecvBuf() override;
  std::string GetName() override;

  // Takes ownership of actuator and binds its slots. Returns false (and
  // keeps nothing; the caller still owns the actuator) when the channel is
  // full or the channel or id lies outside the images.
  bool RegisterActuator(Actuator* actuator);
  Actuator* GetActautor(const std::string& name);
  // The registered actuator that uses slot id of channel, or null.
  Actuator* GetActautor(CtrlChannel channel, uint8_t id);
  // Writes the channel's addressing byte. Callers hold send_mutex_.
  void SetChannelId(CtrlChannel channel, uint8_t id);
  ImuData GetImuData();
  void ImuAppleUserOffset();

  bool ShakeHand(const std::string& name);
  bool EnableActuator(const std::string& name);
  bool DisableActuator(const std::string& name);
  bool SetMode(const std::string& name, ActautorMode mode);
  bool EnableAllActuator();
  bool DisableAllActuator();

  // Supervised confirmation. Once the bus is started on this node (the
  // facade calls SetBusGate), a confirmation (shake-hand, enable, disable,
  // mode) counts only from a reading the board sent in answer to a frame
  // that left after the command was written, while the board is in OP as
  // last reported to the node. A wait gives up at once while link_lost()
  // holds or the board does not answer (see Answering). A node without a
  // gate (no bus) waits as before.
  void SetBusGate(std::function<bool()> link_lost);
  // Whether the last state the bus manager reported for the board is OP.
  bool InOp() const;
  // Whether the board answers: on a running bus, it may have answered one
  // of the frames of the last 200 ms, or fewer than 3 frames went by since
  // (a computer scheduled late loses a shorter run). True without a bus.
  bool Answering() const;
  // Whether the actuator's readings are fresh: the board is in OP, answers,
  // and the readings held are its answer to a frame that left after the
  // actuator's last command was written. Without a bus: whether it is known.
  bool FreshSinceCommand(const std::string& name);
  // Whether a command written to the actuator may have enabled it: an enable
  // was requested and no disable has been confirmed since.
  bool MayBeEnabled(const std::string& name);
  // Every confirmation wait that began before this call gives up at its
  // next poll (an interrupted run must not wait them out); later waits are
  // not affected. Safe from any thread.
  static void CutWaitsInProgress();

  void ClearError(const std::string& name);
  void SetHomingPosition(const std::string& name);
  void SaveConfig(const std::string& name);
  void SetEffort(const std::string& name, float effort);
  void SetVelocity(const std::string& name, float velocity);
  void SetPosition(const std::string& name, float position);
  void SetMitCmd(const std::string& name, float position, float velocity, float effort, float kp,
                 float kd);
  void SetMitParam(const std::string& name, MitParam param);
  float GetTempure(const std::string& name);
  std::string GetErrorString(const std::string& name);
  ActautorState GetPowerState(const std::string& name);
  ActautorMode GetMode(const std::string& name);
  float GetEffort(const std::string& name);
  float GetVelocity(const std::string& name);
  float GetPosition(const std::string& name);
  // The actuator's last shake-hand reply as it decodes it, read under the
  // receive lock. False (type and info untouched) for an unknown name.
  bool GetShakeHandInfo(const std::string& name, ActuatorType& type, uint32_t& info);

 private:
  std::string dcu_name_;
  std::unordered_map<std::string, Actuator*> actuator_map_;
  std::unordered_map<CtrlChannel, std::vector<Actuator*>> channel_map_;
  DcuSendPacket send_packet_;
  DcuRecvPacket recv_packet_;
  // Copy of the reported state for the caller threads, taken in
  // OnStateChangeHook (before State() gives the new state).
  std::atomic<int32_t> reported_state_{ethercat_manager::NONE};
  bool gated_ = false;
  std::function<bool()> link_lost_;
  // Per command slot (channel, id): the first frame that can carry the last
  // command written to it; whether an enable may be in force, and the number
  // (in commands_written_) of the last enable written. Under send_mutex_.
  uint64_t command_frame_[3][kSlotsPerChannel] = {};
  bool enable_requested_[3][kSlotsPerChannel] = {};
  uint64_t enable_written_[3][kSlotsPerChannel] = {};
  uint64_t commands_written_ = 0;

  // Polls done() under the receive lock every 10 ms, at most 100 times;
  // true as soon as it holds. When gated, only a reading of a frame after
  // command_frame counts, and the wait ends early (false) while the link is
  // lost, the board does not answer or the wait was cut.
  template <typename Done>
  bool PollFeedback(Done done, bool gate, uint64_t command_frame);
  // Under one holding of the send lock: lets write fill the actuator's
  // command slot, then addresses the slot (the channel's addressing byte).
  // Returns the first frame that can carry the command.
  template <typename Write>
  uint64_t WriteCommand(Actuator& actuator, Write write);
  // The slot's entries of command_frame_ / enable_requested_.
  uint64_t& CommandFrame(const Actuator& actuator);
  bool& EnableRequested(const Actuator& actuator);
  // read's value of the actuator called name under the receive lock, or
  // none when there is no such actuator.
  template <typename T, typename Read>
  T ReadFeedback(const std::string& name, T none, Read read);
};

}  // namespace zorvik

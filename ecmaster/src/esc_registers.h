// Register addresses of the EtherCAT slave controller and wire-format
// constants as the master core uses them.
#ifndef ECMASTER_SRC_ESC_REGISTERS_H
#define ECMASTER_SRC_ESC_REGISTERS_H

#include <cstddef>
#include <cstdint>

namespace ecmaster {
namespace reg {

constexpr uint16_t kType = 0x0000;
constexpr uint16_t kPortDescriptor = 0x0007;
constexpr uint16_t kEscFeatures = 0x0008;
constexpr uint16_t kStationAddress = 0x0010;
constexpr uint16_t kStationAlias = 0x0012;
constexpr uint16_t kDlControl = 0x0100;
constexpr uint16_t kDlControlLoop = 0x0101;
constexpr uint16_t kDlControlAlias = 0x0103;
constexpr uint16_t kDlStatus = 0x0110;
constexpr uint16_t kAlControl = 0x0120;
constexpr uint16_t kAlStatus = 0x0130;
constexpr uint16_t kAlStatusCode = 0x0134;
constexpr uint16_t kPdiControl = 0x0140;
constexpr uint16_t kEventMask = 0x0200;
constexpr uint16_t kRxErrorCounters = 0x0300;
constexpr uint16_t kEepromConfig = 0x0500;
constexpr uint16_t kEepromControl = 0x0502;
constexpr uint16_t kFmmu0 = 0x0600;
constexpr uint16_t kSm0 = 0x0800;
constexpr uint16_t kDcRecvTimePort0 = 0x0900;
constexpr uint16_t kDcRecvTimePort1 = 0x0904;
constexpr uint16_t kDcRecvTimePort2 = 0x0908;
constexpr uint16_t kDcRecvTimePort3 = 0x090C;
constexpr uint16_t kDcSystemTime = 0x0910;
constexpr uint16_t kDcRecvTimeUnit = 0x0918;
constexpr uint16_t kDcSystemTimeOffset = 0x0920;
constexpr uint16_t kDcSystemTimeDelay = 0x0928;
constexpr uint16_t kDcSpeedCounterStart = 0x0930;
constexpr uint16_t kDcTimeFilter = 0x0934;
constexpr uint16_t kDcCyclicUnitControl = 0x0980;
constexpr uint16_t kDcActivation = 0x0981;
constexpr uint16_t kDcSync0StartTime = 0x0990;
constexpr uint16_t kDcSync0CycleTime = 0x09A0;

constexpr uint16_t kFmmuSize = 16;
constexpr uint16_t kSmSize = 8;

}  // namespace reg

namespace wire {

constexpr size_t kEthHeader = 14;
constexpr size_t kFrameHeader = 2;
constexpr size_t kDatagramHeader = 10;
constexpr size_t kWkcSize = 2;
constexpr uint16_t kEtherType = 0x88A4;
constexpr uint16_t kLengthMask = 0x07FF;
constexpr uint16_t kMoreFollows = 0x8000;

}  // namespace wire
}  // namespace ecmaster

#endif  // ECMASTER_SRC_ESC_REGISTERS_H

// The register layout of the emulated slave controller and the helpers that
// the parts of its implementation share (esc.cc: datagrams, memory and
// SyncManager/FMMU decoding; esc_state.cc: AL state machine, watchdog, SII
// EEPROM, link counters and distributed clocks). Internal to the simulator.
#pragma once

#include <cstdint>

#include "simulator/al_state.h"

namespace dcusim {
namespace esc_layout {

// Register addresses of the emulated controller.
constexpr uint32_t kRegType = 0x0000;
constexpr uint32_t kRegRevision = 0x0001;
constexpr uint32_t kRegBuild = 0x0002;
constexpr uint32_t kRegFmmuCount = 0x0004;
constexpr uint32_t kRegSmCount = 0x0005;
constexpr uint32_t kRegRamSize = 0x0006;
constexpr uint32_t kRegPortDesc = 0x0007;
constexpr uint32_t kRegFeatures = 0x0008;
constexpr uint32_t kRegStation = 0x0010;
constexpr uint32_t kRegAlias = 0x0012;
constexpr uint32_t kRegDlControl = 0x0100;
constexpr uint32_t kRegDlStatus = 0x0110;
constexpr uint32_t kRegAlControl = 0x0120;
constexpr uint32_t kRegAlStatus = 0x0130;
constexpr uint32_t kRegAlCode = 0x0134;
constexpr uint32_t kRegPdiControl = 0x0140;
constexpr uint32_t kRegEventMask = 0x0200;
constexpr uint32_t kRegRxErrors = 0x0300;
constexpr uint32_t kRegForwardedErrors = 0x0308;
constexpr uint32_t kRegErrorCountersEnd = 0x030E;  // + processing unit, PDI
constexpr uint32_t kRegLostLinks = 0x0310;
constexpr uint32_t kRegWdDivider = 0x0400;
constexpr uint32_t kRegWdPdi = 0x0410;
constexpr uint32_t kRegWdSm = 0x0420;
constexpr uint32_t kRegWdStatus = 0x0440;
constexpr uint32_t kRegWdCounter = 0x0442;
constexpr uint32_t kRegEepConfig = 0x0500;
constexpr uint32_t kRegEepControl = 0x0502;
constexpr uint32_t kRegEepAddress = 0x0504;
constexpr uint32_t kRegEepData = 0x0508;
constexpr uint32_t kRegFmmu = 0x0600;
constexpr uint32_t kRegSm = 0x0800;
constexpr uint32_t kRegRecvTime = 0x0900;
constexpr uint32_t kRegSysTime = 0x0910;
constexpr uint32_t kRegRecvTimePu = 0x0918;
constexpr uint32_t kRegSysOffset = 0x0920;
constexpr uint32_t kRegSysDelay = 0x0928;
constexpr uint32_t kRegSysDiff = 0x092C;
constexpr uint32_t kRegSpeedStart = 0x0930;
constexpr uint32_t kRegFilterDepth = 0x0934;
constexpr uint32_t kRegCyclicControl = 0x0980;
constexpr uint32_t kRegActivation = 0x0981;
constexpr uint32_t kRegPulseLength = 0x0982;
constexpr uint32_t kRegActStatus = 0x0984;
constexpr uint32_t kRegSync0Status = 0x098E;
constexpr uint32_t kRegStartTime = 0x0990;
constexpr uint32_t kRegSync0Cycle = 0x09A0;
constexpr uint32_t kRegSync1Cycle = 0x09A4;
constexpr uint32_t kRegLatchControl = 0x09A8;

constexpr uint32_t kRegSpace = 0x1000;
constexpr uint32_t kRamStart = 0x1000;
constexpr uint32_t kRamSize = 0x2000;  // 8 KiB
constexpr uint32_t kMemSize = kRamStart + kRamSize;
constexpr uint32_t kAddressSpace = 0x10000;
constexpr int kFmmus = 8;
constexpr int kSms = 8;

constexpr uint16_t kEepStatusRead8 = 0x0040;
constexpr uint16_t kEepErrNack = 0x2000;
constexpr uint16_t kEepErrNoEnable = 0x4000;
constexpr uint16_t kEepErrChecksum = 0x0800;

constexpr uint16_t kCodeInvalidChange = 0x0011;
constexpr uint16_t kCodeUnknownState = 0x0012;
constexpr uint16_t kCodeNoBoot = 0x0013;
constexpr uint16_t kCodeSmWatchdog = 0x001B;
constexpr uint16_t kCodeBadOutputs = 0x001D;
constexpr uint16_t kCodeBadInputs = 0x001E;
constexpr uint16_t kCodeBadDcSync = 0x0030;

constexpr int64_t kTimeCaptureRange = 1000000;   // ns; larger differences are only reported
constexpr int64_t kMaxRateCorrection = 1000000;  // ppb = 1000 ppm

inline bool Overlaps(uint32_t a, uint32_t b, uint32_t lo, uint32_t hi) { return a < hi && b > lo; }

constexpr uint8_t kInit = kAlInit, kPreOp = kAlPreOp, kBoot = kAlBoot, kSafeOp = kAlSafeOp, kOp = kAlOp;

inline bool ValidRequest(uint8_t s) { return s == kInit || s == kPreOp || s == kBoot || s == kSafeOp || s == kOp; }

}  // namespace esc_layout
}  // namespace dcusim

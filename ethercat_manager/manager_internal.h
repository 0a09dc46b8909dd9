// What the bus manager's own files share: timeouts, register addresses and
// the helpers of its counter reads. Private to ethercat_manager/.
#ifndef ZORVIK_ETHERCAT_MANAGER_MANAGER_INTERNAL_H
#define ZORVIK_ETHERCAT_MANAGER_MANAGER_INTERNAL_H

#include <cstdint>
#include <string>

#include "base/clock.h"
#include "ethercat.h"
#include "ethercat_manager/ethercat_manager.h"

namespace ethercat_manager {
namespace internal {

// Timeouts handed to the master, in microseconds.
constexpr int kStateTimeoutUs = 8000000;    // PRE_OP and SAFE_OP during bring-up
constexpr int kOpCheckTimeoutUs = 5000;     // one OP check of the bring-up wait
constexpr int kOpWaitUs = 10000000;         // the whole OP wait of the bring-up
constexpr int kStopCheckTimeoutUs = 50000;  // INIT check when stopping
constexpr int kFrameTimeoutUs = 2000;       // one process-data frame
constexpr int kRecheckTimeoutUs = 2000;     // re-check of a silent slave
constexpr int kRepairTimeoutUs = 500;       // reconfiguration and recovery datagrams
constexpr int kRegisterTimeoutUs = 2000;    // one register read of the supervision
// Reads of a slave's counters before its silence counts (a reply late past
// its timeout on a busy computer is no answer).
constexpr int kCounterReadTries = 3;
// Longest wait for a counter read served by the cycle thread.
constexpr int64_t kCounterReadWaitNs = 500LL * 1000 * 1000;
// Longest single wait of the bring-up between two looks at an abort request.
constexpr int kAbortSliceUs = 100000;

// Discovery attempts.
constexpr int kDiscoveryAttempts = 3;
// INIT requests of a stop before giving up on slaves that do not get there.
constexpr int kInitAttempts = 3;
// Consecutive failing supervision passes after which the link counts as lost.
constexpr int32_t kLinkLostPasses = 10;

constexpr int64_t kNsPerSec = 1000000000LL;
constexpr int64_t kMsToNs = 1000000LL;
// Largest SYNC0 period the slaves accept (32-bit register).
constexpr uint64_t kMaxCycleTimeNs = 4294967295ULL;
// Longest sleep of the bus threads between two looks at running_, so that
// Stop ends them promptly whatever the cycle time.
constexpr int64_t kStopSliceNs = 10 * kMsToNs;

// Slave controller registers read by the manager.
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr uint16_t kRegWatchdogDivider = 0x0400;
constexpr uint16_t kRegSmWatchdogTime = 0x0420;
constexpr uint16_t kRegDlStatus = 0x0110;
constexpr uint16_t kRegStationAddress = 0x0010;
constexpr uint16_t kRegErrorCounters = 0x0300;
constexpr uint16_t kRegSmWatchdogCounter = 0x0442;
// DL status, low byte: physical link on port 1 (the port towards the next board).
constexpr uint8_t kDlStatusLinkPort1 = 0x20;
// AL status bits that carry the state and the error indication.
constexpr uint16_t kAlStateMask = 0x001F;
// SM watchdog of a slave whose registers cannot be read (the usual reset
// values: divider 2498, i.e. 100 us, times 1000).
constexpr uint64_t kDefaultWatchdogNs = 100 * 1000 * 1000ULL;

inline int64_t MonotonicNowNs() { return zorvik_clock::MonotonicNs(); }
using zorvik_clock::SleepForNs;
using zorvik_clock::SleepUntilNs;

// Offsets in the counter registers 0x0300..0x0313.
constexpr int kInvalidFrames = 0;   // + 2 * port
constexpr int kRxErrors = 1;        // + 2 * port
constexpr int kProcessingUnit = 12;
constexpr int kPdi = 13;
constexpr int kLostLinks = 16;      // + port
constexpr int kCounterPorts = 4;

// Rise of one 8-bit counter; a counter below its earlier value was cleared
// in between and counts from 0.
unsigned Rise(uint8_t before, uint8_t now);

// The line errors a slave controller counted itself between two readings
// ("port 0: lost links +1; PDI errors +2"), or "" when none. Errors that only
// passed through it (its forwarded counters) are a board's before it.
std::string DescribeOwnRise(const CounterReading& before, const CounterReading& now);

// Reads the counters by station address (or by position address) while no
// bus thread runs, with the given reply timeout.
bool ReadCountersWith(bool by_station, uint16_t address, CounterReading* out, int timeout_us = EC_TIMEOUTRET3);

}  // namespace internal
}  // namespace ethercat_manager

#endif  // ZORVIK_ETHERCAT_MANAGER_MANAGER_INTERNAL_H

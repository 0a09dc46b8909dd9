// The bus survey behind dcu_businfo: what every slave on the line reports
// about itself (identity, announced process-data sizes, AL state, links and
// error counters), its comparison with the DCU network of the configuration
// file, and the watch of the error counters while the boards run in OP.
//
// The comparison, the counter arithmetic and the text and JSON output are
// plain functions over the records below, so they can be checked without a
// bus; only the functions in the "Bus access" part talk to the EtherCAT
// master (the ethercat.h API, built-in core or SOEM 1.4).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ethercat_config.h"

namespace businfo {

// Identity and process-data size of a DCU board.
constexpr uint32_t kDcuVendorId = 0x005A5256;
constexpr uint32_t kDcuProductCode = 0x0000DC01;
constexpr uint32_t kDcuProcessDataBytes = 240;

constexpr int kPorts = 4;

// The error counters of one slave controller (registers 0x0300..0x0313 and
// 0x0442). Every counter is 8 bits and stops at 255.
struct Counters {
  std::array<uint8_t, kPorts> invalid_frames{};  // 0x0300 + 2n
  std::array<uint8_t, kPorts> rx_errors{};       // 0x0301 + 2n
  std::array<uint8_t, kPorts> forwarded_rx_errors{};  // 0x0308 + n
  uint8_t processing_unit_errors = 0;            // 0x030C
  uint8_t pdi_errors = 0;                        // 0x030D
  std::array<uint8_t, kPorts> lost_links{};      // 0x0310 + n
  uint8_t sm_watchdog = 0;                       // 0x0442
};

// Registers 0x0300..0x0313 (20 bytes) and 0x0442 as read.
Counters DecodeCounters(const uint8_t errors[20], uint8_t sm_watchdog);

// One port as DL status (0x0110) shows it.
struct PortLink {
  bool link = false;           // physical link
  bool loop_closed = false;
  bool communication = false;  // communication established on the port
};
std::array<PortLink, kPorts> DecodeDlStatus(uint16_t dl_status);

// One slave as found on the bus.
struct SlaveInfo {
  int position = 0;  // 1-based bus position
  uint16_t station_address = 0;
  std::string name;  // SII name
  uint32_t vendor = 0, product = 0, revision = 0, serial = 0;
  bool sizes_known = false;  // the SII's PDO categories were read
  uint32_t output_bytes = 0, input_bytes = 0;
  uint16_t al_status = 0;  // AL status word (state | 0x10 error)
  uint16_t al_status_code = 0;
  std::string al_status_text;
  bool has_dc = false;
  int32_t dc_delay_ns = 0;
  bool registers_read = false;  // DL status and counters could be read
  uint16_t dl_status = 0;
  // The counters as found, before discovery cleared the RX error counters
  // (the errors of the run that went before); falls back to the values
  // after discovery when they could not be read.
  Counters counters;
};

// "INIT", "PRE_OP", "BOOT", "SAFE_OP", "OP", "NONE", with "+ERROR" when the
// error bit is set.
std::string StateText(uint16_t al_status);

enum class FindingKind {
  kMissing,
  kUnexpected,
  kWrongIdentity,
  kWrongSize,
  kDuplicatePosition,
  kChainEnd,
  kErrorsRising,
  kNotOperational,
};
const char* KindName(FindingKind kind);

// One explanation of a line that ends early. A board whose controller is
// dead but whose ports still pass frames does not count itself, so every
// board behind it answers one position early: the configured boards that
// do not answer may be cut off, or any board that seems to answer may be the
// dead one.
struct Candidate {
  int position = 0;
  std::string dcu;
  bool cut_off = false;  // true: cut off behind the line's end; false: passes frames silently
};

struct Finding {
  FindingKind kind;
  int position = 0;     // bus position concerned; 0 = the master's side
  std::string dcu;      // configured name; empty = none
  std::string message;  // the printed line without its "[ERROR] " tag
  // For the end of a line without a link behind it: every board that may be
  // at fault, the cut-off ones first.
  std::vector<Candidate> candidates{};
};

// The line printed after the findings (without its "[WARN] " tag) that lists
// a finding's candidates; "" when it has none.
std::string DescribeCandidates(const Finding& finding, int found);

// One record of the file's dcu_network, as far as the survey needs it.
struct BoardRecord {
  std::string name;
  uint32_t position = 0;
  bool enable = false;
};
std::vector<BoardRecord> RecordsOf(const std::vector<YAML::DcuConfig>& network);

// Compares the slaves found (in bus order, positions 1..N) with the file.
// An enabled record names a board that must be there; a record with
// enable: false names the board if it answers but does not require it (a
// board left out of the robot, or the alternative to an enabled board at
// the same position).
std::vector<Finding> CompareWithFile(const std::vector<BoardRecord>& records,
                                     const std::vector<SlaveInfo>& slaves,
                                     const std::string& ifname);

// The configured name of the board at a position ("" if none; the first
// enabled record when several share it, else the first record).
std::string NameAt(const std::vector<BoardRecord>& records, int position);

// --- Watching the counters ---------------------------------------------------

// Counter increase between two readings (a counter that went down, i.e. was
// cleared in between, counts from 0).
Counters Increase(const Counters& before, const Counters& after);
// Adds b to a (without the 8-bit limit of the registers).
struct Totals {
  std::array<unsigned, kPorts> invalid_frames{}, rx_errors{}, forwarded_rx_errors{}, lost_links{};
  unsigned processing_unit_errors = 0, pdi_errors = 0, sm_watchdog = 0;
  void Add(const Counters& c);
  bool Any() const;
};
// "port 0: rx errors +3, invalid frames +3; SM watchdog +1", or "" when
// nothing changed.
std::string DescribeChange(const Counters& c);

struct WatchedBoard {
  int position = 0;
  uint16_t station_address = 0;
  std::string dcu;  // configured name
  bool in_op = false;      // reached OP and stayed there
  std::string op_failure;  // why it did not reach OP ("" when it did)
  std::string left_op;     // why it left OP during the watch ("" when it did not)
  int left_op_second = 0;  // the watch's second in which that was seen
  uint16_t last_al_status = 0;  // the state last seen during the watch
  Counters last;
  Totals total;
};

struct WatchResult {
  bool ran = false;
  int seconds = 0;          // seconds watched
  uint64_t cycles = 0;
  int expected_wkc = 0;
  uint64_t wkc_misses = 0;  // cycles whose working counter fell short
  std::vector<WatchedBoard> boards;
};

// The findings of a watch: one per board and port whose own counters rose,
// one per board for processing-unit, PDI or watchdog errors, one for the
// working-counter misses; and one per configured board that did not reach OP
// or left it during the watch.
std::vector<Finding> WatchFindings(const WatchResult& watch, const std::vector<BoardRecord>& records);

// --- Output ---------------------------------------------------------------

// Text lines in the programs' style: "[INFO]" plain, "[WARN]" yellow,
// "[ERROR]" red. In JSON mode they go to standard error, so that standard
// output carries only the document.
class Printer {
 public:
  explicit Printer(bool json) : out_(json ? stderr : stdout) {}
  void Info(const std::string& text) const;
  void Warn(const std::string& text) const;
  void Error(const std::string& text) const;
  void Debug(const std::string& text) const;  // green, as the programs' [DEBUG]
  void Plain(const std::string& text) const;

 private:
  void Line(const char* before, const std::string& text, const char* after) const;
  std::FILE* out_;
};

// One slave's description: identity line and port line.
std::vector<std::string> DescribeSlave(const SlaveInfo& s, const std::string& dcu);

struct Report {
  std::string config_path;
  std::string ifname;
  bool bus_opened = false;
  bool interrupted = false;
  std::vector<SlaveInfo> slaves;
  std::vector<Finding> findings;
  WatchResult watch;
  // A bus with no slave at all never matches, even an empty file.
  bool Matches() const { return bus_opened && !interrupted && !slaves.empty() && findings.empty(); }
};
nlohmann::json ToJson(const Report& report, const std::vector<BoardRecord>& records);

// --- Bus access (ethercat.h) -----------------------------------------------

// Reads 0x0300..0x0313 and 0x0442 of the slave at bus position k (1-based)
// with position addressing; usable before discovery. False if it did not
// answer.
bool ReadCountersAtPosition(int position, Counters* out);
// The same with the station address.
bool ReadCounters(uint16_t station, Counters* out);
// AL status word and code (0x0130, 0x0134).
bool ReadAlStatus(uint16_t station, uint16_t* status, uint16_t* code);

// One register read of the watch: `length` bytes from register `reg` of the
// slave at bus position `position` (1-based), by its station address or,
// with by_position, by its position address. False when nothing answered.
// While the bus manager runs the boards the watch reads through it; with no
// board running, through MasterRegisterRead.
using RegisterRead = std::function<bool(int position, uint16_t reg, uint8_t* data, int length, bool by_position)>;
// Straight through the ethercat.h calls, by the station addresses of the
// master's slave records; for the thread that owns the bus.
RegisterRead MasterRegisterRead();
// The same readings as above, through `read`, for the board at a position.
bool ReadCounters(const RegisterRead& read, int position, Counters* out);
bool ReadAlStatus(const RegisterRead& read, int position, uint16_t* status, uint16_t* code);
// Station address (0x0010) and AL status word of the slave at bus position
// k, with position addressing (a board that was reset answers there with
// station address 0). False if nothing answered there.
bool ReadAtPosition(const RegisterRead& read, int position, uint16_t* station, uint16_t* status);
// Number of slaves that answer a broadcast read; <= 0 if none.
int CountSlaves();
// Output and input bytes the SII's RxPDO and TxPDO categories announce.
bool ReadAnnouncedSizes(uint16_t slave, uint32_t* output_bytes, uint32_t* input_bytes);
// Fills a record for every discovered slave (ec_slave[1..ec_slavecount]).
// found_counters[k-1], when read, replaces the counters read now.
std::vector<SlaveInfo> SurveySlaves(const std::vector<bool>& found_ok,
                                    const std::vector<Counters>& found_counters);

}  // namespace businfo

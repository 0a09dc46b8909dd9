// Emulated EtherCAT slave controller (ESC): byte-addressed register space and
// process RAM, datagram processing with the working-counter rules, FMMUs,
// SyncManagers, the SII EEPROM interface, the AL state machine, the SM
// watchdog and distributed clocks.
//
// The application behind the controller (the DCU firmware and its devices)
// is reached only through PdiApplication: it sees the last complete output
// buffer and fills the input buffer, as a microcontroller on the PDI would.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/sii_image.h"

namespace dcusim {

class PdiApplication {
 public:
  virtual ~PdiApplication() = default;
  // Called once per frame that accesses the process data, before the first
  // access, at the board's local arrival time. `outputs` is the last complete output buffer (zeros
  // before the first one); `fresh` is true when a new buffer was completed
  // since the previous call; `apply` is true only in OP. The application
  // writes its feedback into `inputs`.
  virtual void Cycle(uint64_t now_ns, const uint8_t* outputs, size_t out_len, bool fresh, bool apply,
                     uint8_t* inputs, size_t in_len) = 0;
  // The controller left OP (outputs are no longer applied).
  virtual void OnLeaveOp() {}
};

struct EscSettings {
  SiiContent sii;
  bool dc = true;
  int64_t clock_offset_ns = 0;  // local clock = host time + offset + drift
  double drift_ppm = 0;
  uint64_t created_ns = 0;      // host time at power-on
  uint16_t watchdog_time = 1000;  // SM watchdog reset value, units of 100 µs
  bool require_dc_for_op = false;
  bool op_requires_outputs = false;
  bool outputs_count_in_safe_op = true;
};

// One datagram inside a frame buffer.
struct Datagram {
  uint8_t* header;   // 10 bytes: cmd, idx, address (4), length word, irq
  uint8_t* data;
  uint16_t length;
  uint8_t* wkc;      // 2 bytes, little-endian
};

// Timing of one frame at this board, in host nanoseconds.
struct FrameTiming {
  uint64_t arrive_ns = 0;  // at port 0 / processing unit
  uint64_t return_ns = 0;  // back at port 1 (meaningless when last)
  bool last = true;        // port 1 closed: the frame turns around here
};

class Esc {
 public:
  Esc(const EscSettings& settings, std::unique_ptr<PdiApplication> app);
  ~Esc();

  void BeginFrame(const FrameTiming& timing);
  void Process(Datagram& d);
  void EndFrame();

  // Checks the SM watchdog at host time now_ns (also done at every frame).
  void CheckWatchdog(uint64_t now_ns);
  // Control: forces the AL status as if the firmware had set it.
  void ForceState(uint8_t state, bool error, uint16_t code, uint64_t now_ns);
  // Power cycle: registers back to their reset values, state INIT.
  void PowerOn(uint64_t now_ns);

  uint8_t state() const { return state_; }
  uint16_t al_status() const;
  uint16_t al_code() const { return code_; }
  uint16_t station_address() const;
  bool has_dc() const { return settings_.dc; }
  uint64_t SystemTime(uint64_t host_ns) const;
  bool sync0_running() const { return sync0_running_; }
  bool sync0_start_missed() const { return sync0_missed_; }
  uint64_t sync0_start() const { return sync0_start_; }
  uint32_t sync0_cycle() const { return sync0_cycle_; }
  const std::vector<uint16_t>& sii() const { return sii_; }
  const EscSettings& settings() const { return settings_; }
  PdiApplication* app() { return app_.get(); }
  const PdiApplication* app() const { return app_.get(); }

  // Raw access for tests and diagnostics (no side effects).
  uint8_t PeekByte(uint16_t addr) const;

  // Physical links of the four ports (bit n = port n), as the cabling around
  // the board has them; DL status (0x0110) follows. With count_losses, every
  // port whose link goes down counts once in its lost-link counter. Links
  // survive a power cycle of the controller.
  void SetLinks(uint8_t links, bool count_losses);
  uint8_t links() const { return links_; }
  // Injected physical-layer errors: n frames arrived damaged at `port`
  // (invalid-frame and RX error counters), or arrived already marked by an
  // earlier board (forwarded RX error counter). Lost links of a port. Every
  // counter stops at 0xFF.
  void AddRxErrors(int port, unsigned n);
  void AddForwardedRxErrors(int port, unsigned n);
  void AddLostLinks(int port, unsigned n);

 private:
  struct SmView {
    uint16_t start = 0;
    uint16_t length = 0;
    uint8_t control = 0;
    bool enabled = false;
  };
  struct FmmuView {
    uint32_t log_start = 0;
    uint16_t log_length = 0;
    uint8_t log_start_bit = 0;
    uint8_t log_end_bit = 7;
    uint16_t phys_start = 0;
    uint8_t phys_start_bit = 0;
    uint8_t type = 0;
    bool active = false;
  };

  bool Read(uint32_t addr, uint8_t* dst, uint32_t len, bool merge_or);
  bool Write(uint32_t addr, const uint8_t* src, uint32_t len);
  bool RamAccess(uint32_t addr, uint8_t* buf, uint32_t len, bool write, bool merge_or);
  void RefreshDynamic(uint32_t addr, uint32_t len);
  void AfterRegisterWrite(uint32_t addr, uint32_t end, const uint8_t* src);
  bool NodeMatch(uint16_t adp) const;
  void Logical(Datagram& d, uint8_t cmd, uint16_t* wkc);

  void DecodeSm();
  void DecodeFmmu();
  void AlControlWritten();
  void RequestState(uint8_t req);
  void Refuse(uint16_t code);
  void EnterState(uint8_t s);
  uint16_t CheckSyncManagers() const;
  void PublishAlStatus();
  void OutputsCommitted();
  void RunApplication();

  void ExecuteEeprom();
  void PublishDlStatus(bool port1_forwards);
  void CountersWritten(uint32_t addr, uint32_t end);
  void LatchReceiveTimes();
  void SystemTimeWritten(const uint8_t* value, uint32_t n);
  void ActivationWritten();
  uint64_t LocalTime(uint64_t host_ns) const;
  uint64_t NextSync0(uint64_t sys) const;
  uint64_t WatchdogNs() const;

  EscSettings settings_;
  std::unique_ptr<PdiApplication> app_;
  std::vector<uint16_t> sii_;
  std::vector<uint8_t> mem_;            // registers 0x0000..0x0FFF + process RAM
  std::vector<uint8_t> out_committed_;  // last complete output buffer
  bool out_fresh_ = false;

  std::array<SmView, 8> sm_{};
  std::array<FmmuView, 8> fmmu_{};
  int active_fmmus_ = 0;

  uint8_t state_ = 0x01;
  bool error_ = false;
  uint16_t code_ = 0;
  bool op_pending_ = false;
  bool outputs_in_safe_op_ = false;
  uint16_t eep_errors_ = 0;
  uint8_t links_ = 0x01;  // port 0 only: the last board of a line

  FrameTiming timing_;
  uint64_t now_ = 0;
  bool app_ran_ = false;
  bool eeprom_pending_ = false;
  bool latch_pending_ = false;
  uint64_t wd_last_trigger_ = 0;

  // Distributed clocks.
  int64_t clock_offset_ = 0;
  uint64_t created_ns_ = 0;
  int64_t drift_ppb_ = 0;
  int64_t ctrl_ns_ = 0;         // corrections of the time control loop
  int64_t ctrl_rate_ppb_ = 0;
  uint64_t ctrl_t_ = 0;
  uint64_t last_time_write_ = 0;
  bool sync0_running_ = false;
  bool sync0_missed_ = false;
  uint64_t sync0_start_ = 0;
  uint32_t sync0_cycle_ = 0;
};

// Little-endian helpers.
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace dcusim

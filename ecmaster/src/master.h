// The master core behind the default-context C API.
//
// A Master drives one EtherCAT segment through a Transport and keeps its
// results in the caller's slave and group records (for the C API: the global
// ec_slave[], ec_slavecount, ec_group[] and ec_DCtime).
//
// Thread use: the process-data calls (SendProcessData/ReceiveProcessData)
// may run on one thread while the state and recovery calls run on another;
// all other calls belong to the bring-up and run alone.
#ifndef ECMASTER_SRC_MASTER_H
#define ECMASTER_SRC_MASTER_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "ecmaster/transport.h"
#include "ethercat.h"
#include "frame_port.h"

struct ecx_context {
  // Opaque to applications; handed to PO2SOconfigx hooks.
  void* master;
};

namespace ecmaster {

// The register image of one FMMU entry (reg::kFmmuSize bytes), as written
// to the slave when the process data is mapped and when a slave is
// reconfigured.
void PutFmmu(uint8_t* p, const ec_fmmut& f);

struct Records {
  ec_slavet* slave;  // EC_MAXSLAVE entries, [0] = all slaves
  int* slavecount;
  ec_groupt* group;  // EC_MAXGROUP entries
  int64* dctime;
};

class Master {
 public:
  explicit Master(const Records& records);
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;
  ~Master();

  // Takes over the transport; a previous one is closed first.
  bool Open(std::unique_ptr<Transport> transport);
  void Close();
  bool is_open() const { return port_.attached(); }
  FramePort& port() { return port_; }

  int ConfigInit();
  int ConfigMap(void* iomap, uint8 group);
  bool ConfigDc();
  void DcSync0(uint16 slave, bool act, uint32 cycle_ns, int32 shift_ns);
  uint16 StateCheck(uint16 slave, uint16 reqstate, int timeout_us);
  int ReadState();
  int WriteState(uint16 slave);
  int SendProcessData(bool overlap, uint8 group);
  int ReceiveProcessData(int timeout_us);
  int ReconfigSlave(uint16 slave, int timeout_us);
  int RecoverSlave(uint16 slave, int timeout_us);
  uint32 ReadEeprom(uint16 slave, uint16 word, int timeout_us);

 private:
  // Recovery of slave from the given auto-increment position.
  int RecoverSlaveAt(uint16 slave, uint16_t position, int timeout_us);
  // One datagram in its own frame (see FramePort::Transfer).
  int Xfer(uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t len, void* data,
           int timeout_us) {
    return port_.Transfer(cmd, adp, ado, len, data, timeout_us);
  }
  int Write8(uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t value,
             int timeout_us);
  int Write16(uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t value,
              int timeout_us);
  uint16_t Read16(uint8_t cmd, uint16_t adp, uint16_t ado, int timeout_us,
                  int* wkc = nullptr);

  // EEPROM (SII) access through the ESC's EEPROM interface. Every step
  // resends its frame within the EEPROM timeout; a read result is taken
  // only together with the word address it belongs to (see sii.cc).
  enum class EepromResult { kOk, kTimeout, kNack, kOtherWord };
  int EepromXfer(uint8_t cmd, uint16_t station, uint16_t ado, uint16_t len,
                 uint8_t* data, int64_t end_ns);
  bool EepromWaitIdle(uint16_t station, uint16_t* status, int timeout_us);
  bool EepromRequestRead(uint16_t station, uint16_t word, int timeout_us = EC_TIMEOUTEEP);
  EepromResult EepromFetch(uint16_t station, uint16_t word, int timeout_us,
                           uint8_t out[8], int* len);
  bool EepromReadResult(uint16_t station, uint16_t word, uint32_t* value);
  int EepromRead(uint16_t station, uint16_t word, int timeout_us,
                 uint8_t out[8]);
  void EepromToMaster(uint16 slave);
  void EepromToPdi(uint16 slave);

  // Cached byte-wise SII reads of one slave at a time. A read that fails
  // marks the current pass as failed (sii_failed_); the walks below then
  // stop reading and report false, and their results are not used.
  void SiiCacheClear();
  uint8_t SiiByte(uint16 slave, uint16_t address);
  uint16_t SiiWord(uint16 slave, uint16_t address);
  uint16_t SiiFind(uint16 slave, uint16_t category);
  bool SiiParse(uint16 slave);
  bool SiiPdo(uint16 slave, bool tx, uint32_t* bits);

  // Discovery steps of ConfigInit, in bus order.
  void ClearRecords();
  int ResetAndCount();
  void WriteDefaults();
  void AssignAddresses(int n);
  void ReadIdentities(int n);
  // The result of an EEPROM read requested earlier; clears *ok (if given)
  // when it is missing or belongs to another word.
  uint32_t SiiResult(uint16 slave, uint16_t word, bool* ok);
  void ConfigureSlave(uint16 slave);
  void ReadLinks(uint16 slave);
  void TakeSiiContents(uint16 slave);
  void StartMailboxAndPreOp(uint16 slave);

  // Mapping steps of ConfigMap.
  void ResetGroup(uint8 group);
  void PrepareForMapping(uint8 group);
  void ReadPdoSizes(uint16 slave);
  void WriteSyncManagers(uint16 slave);
  void MapGroup(uint8* iomap, uint8 group);

  // Discovery helpers.
  void FindParent(uint16 slave);
  bool SameIdentity(uint16 a, uint16 b) const;
  // The first earlier slave with the same identity whose SII general part
  // (parsed) or PDO sizes (pdo) were read completely, or 0.
  uint16 SiiTwin(uint16 slave, bool pdo) const;

  // Process-data mapping of one slave direction into the group's image.
  void MapDirection(uint16 slave, bool outputs, uint8* iomap, uint8 group,
                    uint32* logaddr, uint32* segment_size, uint16* segment);

  ec_slavet* slave_;
  int* slavecount_;
  ec_groupt* group_;
  int64* dctime_;

  std::unique_ptr<Transport> transport_;
  FramePort port_;
  ecx_context context_;

  // SII byte cache.
  uint16 sii_slave_ = 0;
  uint8_t sii_cache_[EC_MAXEEPBUF];
  uint32_t sii_valid_[EC_MAXEEPBITMAP];
  bool sii_failed_ = false;
  // What was read completely per slave (reset by ConfigInit).
  struct SiiRead {
    bool identity;  // vendor, product, revision
    bool parsed;    // name, SyncManagers, general category
    bool pdo;       // PDO sizes
  };
  SiiRead sii_read_[EC_MAXSLAVE];

  // Frames sent by the last process-data send and not yet received.
  struct Pending {
    int idx;
    uint8* dest;     // where the returned data go (null: nothing copied)
    uint16 len;
    uint16 data_off; // offset of the first datagram's data in the frame
    bool dc;         // carries the DC datagram behind the first one
  };
  Pending pending_[EC_MAXBUF];
  int npending_ = 0;
  // Station address of the reference clock, fixed when DC is configured so
  // the cyclic path never reads records that recovery may touch.
  std::atomic<uint16_t> dc_station_[EC_MAXGROUP];
};

}  // namespace ecmaster

#endif  // ECMASTER_SRC_MASTER_H

// The default context: the global records and the C functions over them.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "clock.h"
#include "ecmaster/context.h"
#include "ethercat.h"
#include "master.h"

extern "C" {
ec_slavet ec_slave[EC_MAXSLAVE];
int ec_slavecount;
ec_groupt ec_group[EC_MAXGROUP];
int64 ec_DCtime;
boolean EcatError;
}

namespace ecmaster {

namespace {

Master& Default() {
  static Master master(Records{ec_slave, &ec_slavecount, ec_group, &ec_DCtime});
  return master;
}

struct AlStatusText {
  uint16_t code;
  const char* text;
};

// Texts of the AL status codes, first match wins.
constexpr AlStatusText kAlStatusTexts[] = {
    {0x0000, "No error"},
    {0x0001, "Unspecified error"},
    {0x0002, "No memory"},
    {0x0011, "Invalid requested state change"},
    {0x0012, "Unknown requested state"},
    {0x0013, "Bootstrap not supported"},
    {0x0014, "No valid firmware"},
    {0x0015, "Invalid mailbox configuration"},
    {0x0016, "Invalid mailbox configuration"},
    {0x0017, "Invalid sync manager configuration"},
    {0x0018, "No valid inputs available"},
    {0x0019, "No valid outputs"},
    {0x001A, "Synchronization error"},
    {0x001B, "Sync manager watchdog"},
    {0x001C, "Invalid sync Manager types"},
    {0x001D, "Invalid output configuration"},
    {0x001E, "Invalid input configuration"},
    {0x001F, "Invalid watchdog configuration"},
    {0x0020, "Slave needs cold start"},
    {0x0021, "Slave needs INIT"},
    {0x0022, "Slave needs PREOP"},
    {0x0023, "Slave needs SAFEOP"},
    {0x0024, "Invalid input mapping"},
    {0x0025, "Invalid output mapping"},
    {0x0026, "Inconsistent settings"},
    {0x0027, "Freerun not supported"},
    {0x0028, "Synchronisation not supported"},
    {0x0029, "Freerun needs 3buffer mode"},
    {0x002A, "Background watchdog"},
    {0x002B, "No valid Inputs and Outputs"},
    {0x002C, "Fatal sync error"},
    {0x002D, "No sync error"},
    {0x002E, "Invalid input FMMU configuration"},
    {0x0030, "Invalid DC SYNC configuration"},
    {0x0031, "Invalid DC latch configuration"},
    {0x0032, "PLL error"},
    {0x0033, "DC sync IO error"},
    {0x0034, "DC sync timeout error"},
    {0x0035, "DC invalid sync cycle time"},
    {0x0036, "DC invalid sync0 cycle time"},
    {0x0037, "DC invalid sync1 cycle time"},
    {0x0041, "MBX_AOE"},
    {0x0042, "MBX_EOE"},
    {0x0043, "MBX_COE"},
    {0x0044, "MBX_FOE"},
    {0x0045, "MBX_SOE"},
    {0x004F, "MBX_VOE"},
    {0x0050, "EEPROM no access"},
    {0x0051, "EEPROM error"},
    {0x0060, "Slave restarted locally"},
    {0x0061, "Device identification value updated"},
    {0x00F0, "Application controller available"},
};

char kUnknown[] = "Unknown";

// What the next ec_init opens instead of a raw socket (tests only).
struct TransportSeam {
  std::mutex mutex;
  std::unique_ptr<Transport> next;
  TransportOpener opener;
};

TransportSeam& Seam() {
  static TransportSeam seam;
  return seam;
}

// The transport for ec_init(ifname): one handed over for this init, else
// the opener's, else a raw socket on the interface.
std::unique_ptr<Transport> OpenTransport(const char* ifname) {
  TransportOpener opener;
  {
    TransportSeam& seam = Seam();
    std::lock_guard<std::mutex> lock(seam.mutex);
    if (seam.next) return std::move(seam.next);
    opener = seam.opener;
  }
  if (opener) return opener(ifname);
  return OpenRawSocket(ifname);
}

}  // namespace

void UseTransportForNextInit(std::unique_ptr<Transport> transport) {
  TransportSeam& seam = Seam();
  std::lock_guard<std::mutex> lock(seam.mutex);
  seam.next = std::move(transport);
}

void SetTransportOpener(TransportOpener opener) {
  TransportSeam& seam = Seam();
  std::lock_guard<std::mutex> lock(seam.mutex);
  seam.opener = std::move(opener);
}

bool OpenDefaultContext(std::unique_ptr<Transport> transport) {
  return Default().Open(std::move(transport));
}

uint64_t DefaultContextFramesSent() { return Default().port().frames_sent(); }

}  // namespace ecmaster

using ecmaster::Default;

extern "C" {

int osal_usleep(uint32 usec) {
  ecmaster::SleepUs(usec);
  return 0;
}

int ec_init(const char* ifname) {
  Default().Close();
  if (ifname == nullptr) return 0;
  auto transport = ecmaster::OpenTransport(ifname);
  if (!transport) return 0;
  return Default().Open(std::move(transport)) ? 1 : 0;
}

void ec_close(void) { Default().Close(); }

int ec_config_init(uint8 usetable) {
  (void)usetable;  // no built-in configuration table
  return Default().ConfigInit();
}

int ec_config_map(void* pIOmap) { return Default().ConfigMap(pIOmap, 0); }

boolean ec_configdc(void) { return Default().ConfigDc() ? TRUE : FALSE; }

void ec_dcsync0(uint16 slave, boolean act, uint32 CyclTime, int32 CyclShift) {
  Default().DcSync0(slave, act != 0, CyclTime, CyclShift);
}

uint16 ec_statecheck(uint16 slave, uint16 reqstate, int timeout) {
  return Default().StateCheck(slave, reqstate, timeout);
}

int ec_readstate(void) { return Default().ReadState(); }

int ec_writestate(uint16 slave) { return Default().WriteState(slave); }

int ec_send_processdata(void) { return Default().SendProcessData(false, 0); }

int ec_send_overlap_processdata(void) { return Default().SendProcessData(true, 0); }

int ec_receive_processdata(int timeout) { return Default().ReceiveProcessData(timeout); }

int ec_reconfig_slave(uint16 slave, int timeout) { return Default().ReconfigSlave(slave, timeout); }

int ec_recover_slave(uint16 slave, int timeout) { return Default().RecoverSlave(slave, timeout); }

uint32 ec_readeeprom(uint16 slave, uint16 eeproma, int timeout) {
  return Default().ReadEeprom(slave, eeproma, timeout);
}

int ec_BRD(uint16 ADP, uint16 ADO, uint16 length, void* data, int timeout) {
  return Default().port().Transfer(EC_CMD_BRD, ADP, ADO, length, data, timeout);
}

int ec_BWR(uint16 ADP, uint16 ADO, uint16 length, void* data, int timeout) {
  return Default().port().Transfer(EC_CMD_BWR, ADP, ADO, length, data, timeout);
}

int ec_APRD(uint16 ADP, uint16 ADO, uint16 length, void* data, int timeout) {
  return Default().port().Transfer(EC_CMD_APRD, ADP, ADO, length, data, timeout);
}

int ec_APWR(uint16 ADP, uint16 ADO, uint16 length, void* data, int timeout) {
  return Default().port().Transfer(EC_CMD_APWR, ADP, ADO, length, data, timeout);
}

int ec_FPRD(uint16 ADP, uint16 ADO, uint16 length, void* data, int timeout) {
  return Default().port().Transfer(EC_CMD_FPRD, ADP, ADO, length, data, timeout);
}

int ec_FPWR(uint16 ADP, uint16 ADO, uint16 length, void* data, int timeout) {
  return Default().port().Transfer(EC_CMD_FPWR, ADP, ADO, length, data, timeout);
}

char* ec_ALstatuscode2string(uint16 ALstatuscode) {
  for (const auto& e : ecmaster::kAlStatusTexts) {
    if (e.code == ALstatuscode) return const_cast<char*>(e.text);
  }
  return ecmaster::kUnknown;
}

}  // extern "C"

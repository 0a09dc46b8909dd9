/*
 * ethercat.h - compact EtherCAT master core, default-context C API.
 *
 * Offers the subset of the classic default-context master interface that the
 * bus manager needs: opening the interface, discovery, process-data mapping,
 * distributed clocks, state control, the cyclic exchange, slave recovery and
 * the AL status texts, plus the slave and group records those calls fill.
 * Names, types, constants and return values follow that interface so that the
 * same application source also builds against an installed SOEM 1.4.
 *
 * Usable from C and C++.
 */
#ifndef ECMASTER_ETHERCAT_H
#define ECMASTER_ETHERCAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Basic types                                                              */
/* ------------------------------------------------------------------------ */

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef uint8_t boolean;
typedef int8_t int8;
typedef int16_t int16;
typedef int32_t int32;
typedef int64_t int64;
typedef uint8_t uint8;
typedef uint16_t uint16;
typedef uint32_t uint32;
typedef uint64_t uint64;
typedef float float32;
typedef double float64;

typedef struct {
  uint32 sec;
  uint32 usec;
} ec_timet;

/* Sleeps for the given number of microseconds. */
int osal_usleep(uint32 usec);

#if !defined(EC_VER1) && !defined(EC_VER2)
#define EC_VER1
#endif

/* ------------------------------------------------------------------------ */
/* Results, limits and timeouts                                             */
/* ------------------------------------------------------------------------ */

#define EC_NOFRAME (-1)
#define EC_OTHERFRAME (-2)
#define EC_ERROR (-3)
#define EC_SLAVECOUNTEXCEEDED (-4)
#define EC_TIMEOUT (-5)

#define EC_MAXECATFRAME 1518
#define EC_BUFSIZE EC_MAXECATFRAME
#define EC_MAXLRWDATA (EC_MAXECATFRAME - 14 - 2 - 10 - 2 - 4)
#define EC_FIRSTDCDATAGRAM 20
#define EC_ECATTYPE 0x1000
#define EC_MAXBUF 16
#define EC_HEADERSIZE 12
#define EC_CMDOFFSET 2
#define EC_WKCSIZE 2
#define EC_DATAGRAMFOLLOWS (1 << 15)
#define ETH_P_ECAT 0x88A4

#define EC_TIMEOUTRET 2000
#define EC_TIMEOUTRET3 (EC_TIMEOUTRET * 3)
#define EC_TIMEOUTSAFE 20000
#define EC_TIMEOUTEEP 20000
#define EC_TIMEOUTTXM 20000
#define EC_TIMEOUTRXM 700000
#define EC_TIMEOUTSTATE 2000000

#define EC_MAXEEPBITMAP 128
#define EC_MAXEEPBUF (EC_MAXEEPBITMAP << 5)
#define EC_DEFAULTRETRIES 3
#define EC_LOGGROUPOFFSET 16
#define EC_MAXELIST 64
#define EC_MAXNAME 40
#define EC_MAXSLAVE 200
#define EC_MAXGROUP 2
#define EC_MAXIOSEGMENTS 64
#define EC_MAXMBX 1486
#define EC_MAXEEPDO 0x200
#define EC_MAXSM 8
#define EC_MAXFMMU 4

#define EC_NODEOFFSET 0x1000
#define EC_TEMPNODE 0xffff

/* ------------------------------------------------------------------------ */
/* Application-layer states and datagram commands                           */
/* ------------------------------------------------------------------------ */

typedef enum {
  EC_STATE_NONE = 0x00,
  EC_STATE_INIT = 0x01,
  EC_STATE_PRE_OP = 0x02,
  EC_STATE_BOOT = 0x03,
  EC_STATE_SAFE_OP = 0x04,
  EC_STATE_OPERATIONAL = 0x08,
  EC_STATE_ACK = 0x10,
  EC_STATE_ERROR = 0x10
} ec_state;

typedef enum {
  EC_CMD_NOP = 0x00,
  EC_CMD_APRD,
  EC_CMD_APWR,
  EC_CMD_APRW,
  EC_CMD_FPRD,
  EC_CMD_FPWR,
  EC_CMD_FPRW,
  EC_CMD_BRD,
  EC_CMD_BWR,
  EC_CMD_BRW,
  EC_CMD_LRD,
  EC_CMD_LWR,
  EC_CMD_LRW,
  EC_CMD_ARMW,
  EC_CMD_FRMW
} ec_cmdtype;

/* EEPROM interface: status bits and commands. */
#define EC_ESTAT_R64 0x0040
#define EC_ESTAT_BUSY 0x8000
#define EC_ESTAT_EMASK 0x7800
#define EC_ESTAT_NACK 0x2000
#define EC_ECMD_NOP 0x0000
#define EC_ECMD_READ 0x0100
#define EC_ECMD_WRITE 0x0201
#define EC_ECMD_RELOAD 0x0300

/* SII layout. */
#define ECT_SII_START 0x0040
enum {
  ECT_SII_STRING = 10,
  ECT_SII_GENERAL = 30,
  ECT_SII_FMMU = 40,
  ECT_SII_SM = 41,
  ECT_SII_PDO = 50
};
enum {
  ECT_SII_MANUF = 0x0008,
  ECT_SII_ID = 0x000a,
  ECT_SII_REV = 0x000c,
  ECT_SII_BOOTRXMBX = 0x0014,
  ECT_SII_BOOTTXMBX = 0x0016,
  ECT_SII_RXMBXADR = 0x0018,
  ECT_SII_MBXSIZE = 0x0019,
  ECT_SII_TXMBXADR = 0x001a,
  ECT_SII_MBXPROTO = 0x001c
};

/* Mailbox protocols and CoE details. */
#define ECT_MBXPROT_AOE 0x0001
#define ECT_MBXPROT_EOE 0x0002
#define ECT_MBXPROT_COE 0x0004
#define ECT_MBXPROT_FOE 0x0008
#define ECT_MBXPROT_SOE 0x0010
#define ECT_MBXPROT_VOE 0x0020
#define ECT_COEDET_SDO 0x01
#define ECT_COEDET_SDOINFO 0x02
#define ECT_COEDET_PDOASSIGN 0x04
#define ECT_COEDET_PDOCONFIG 0x08
#define ECT_COEDET_UPLOAD 0x10
#define ECT_COEDET_SDOCA 0x20

#define EC_SMENABLEMASK 0xfffeffff

/* ------------------------------------------------------------------------ */
/* Records                                                                  */
/* ------------------------------------------------------------------------ */

/* Register image of one FMMU (written to 0x0600 + 16 * n). */
#pragma pack(push, 1)
typedef struct {
  uint32 LogStart;
  uint16 LogLength;
  uint8 LogStartbit;
  uint8 LogEndbit;
  uint16 PhysStart;
  uint8 PhysStartBit;
  uint8 FMMUtype;
  uint8 FMMUactive;
  uint8 unused1;
  uint16 unused2;
} ec_fmmut;

/* Register image of one SyncManager (written to 0x0800 + 8 * n). */
typedef struct {
  uint16 StartAddr;
  uint16 SMlength;
  uint32 SMflags;
} ec_smt;
#pragma pack(pop)

typedef struct ecx_context ecx_contextt;

/* One record per slave; index 0 stands for all slaves. */
typedef struct {
  uint16 state;
  uint16 ALstatuscode;
  uint16 configadr;
  uint16 aliasadr;
  uint32 eep_man;
  uint32 eep_id;
  uint32 eep_rev;
  uint16 Itype;
  uint16 Dtype;
  uint16 Obits;
  uint32 Obytes;
  uint8 *outputs;
  uint8 Ostartbit;
  uint16 Ibits;
  uint32 Ibytes;
  uint8 *inputs;
  uint8 Istartbit;
  ec_smt SM[EC_MAXSM];
  uint8 SMtype[EC_MAXSM];
  ec_fmmut FMMU[EC_MAXFMMU];
  uint8 FMMU0func;
  uint8 FMMU1func;
  uint8 FMMU2func;
  uint8 FMMU3func;
  uint16 mbx_l;
  uint16 mbx_wo;
  uint16 mbx_rl;
  uint16 mbx_ro;
  uint16 mbx_proto;
  uint8 mbx_cnt;
  boolean hasdc;
  uint8 ptype;
  uint8 topology;
  uint8 activeports;
  uint8 consumedports;
  uint16 parent;
  uint8 parentport;
  uint8 entryport;
  int32 DCrtA;
  int32 DCrtB;
  int32 DCrtC;
  int32 DCrtD;
  int32 pdelay;
  uint16 DCnext;
  uint16 DCprevious;
  int32 DCcycle;
  int32 DCshift;
  uint8 DCactive;
  uint16 configindex;
  uint16 SIIindex;
  uint8 eep_8byte;
  uint8 eep_pdi;
  uint8 CoEdetails;
  uint8 FoEdetails;
  uint8 EoEdetails;
  uint8 SoEdetails;
  int16 Ebuscurrent;
  uint8 blockLRW;
  uint8 group;
  uint8 FMMUunused;
  boolean islost;
  int (*PO2SOconfig)(uint16 slave);
  int (*PO2SOconfigx)(ecx_contextt *context, uint16 slave);
  char name[EC_MAXNAME + 1];
} ec_slavet;

/* One record per group of slaves; only group 0 is used. */
typedef struct {
  uint32 logstartaddr;
  uint32 Obytes;
  uint8 *outputs;
  uint32 Ibytes;
  uint8 *inputs;
  boolean hasdc;
  uint16 DCnext;
  int16 Ebuscurrent;
  uint8 blockLRW;
  uint16 nsegments;
  uint16 Isegment;
  uint16 Ioffset;
  uint16 outputsWKC;
  uint16 inputsWKC;
  boolean docheckstate;
  uint32 IOsegment[EC_MAXIOSEGMENTS];
} ec_groupt;

extern ec_slavet ec_slave[EC_MAXSLAVE];
extern int ec_slavecount;
extern ec_groupt ec_group[EC_MAXGROUP];
extern int64 ec_DCtime;
extern boolean EcatError;

/* ------------------------------------------------------------------------ */
/* Functions                                                                */
/* ------------------------------------------------------------------------ */

int ec_init(const char *ifname);
void ec_close(void);
int ec_config_init(uint8 usetable);
int ec_config_map(void *pIOmap);
boolean ec_configdc(void);
void ec_dcsync0(uint16 slave, boolean act, uint32 CyclTime, int32 CyclShift);
uint16 ec_statecheck(uint16 slave, uint16 reqstate, int timeout);
int ec_readstate(void);
int ec_writestate(uint16 slave);
int ec_send_processdata(void);
int ec_send_overlap_processdata(void);
int ec_receive_processdata(int timeout);
int ec_reconfig_slave(uint16 slave, int timeout);
int ec_recover_slave(uint16 slave, int timeout);
char *ec_ALstatuscode2string(uint16 ALstatuscode);

/* Reads two words of a slave's SII EEPROM from word address eeproma (the
   EEPROM is taken over by EtherCAT first); 0 when the read fails. */
uint32 ec_readeeprom(uint16 slave, uint16 eeproma, int timeout);

/* Single datagrams, each in a frame of its own. Each returns the working
   counter of the reply, or EC_NOFRAME when no reply came within timeout
   (us). Reads place the returned data in data; writes send it. */
int ec_BRD(uint16 ADP, uint16 ADO, uint16 length, void *data, int timeout);
int ec_BWR(uint16 ADP, uint16 ADO, uint16 length, void *data, int timeout);
int ec_APRD(uint16 ADP, uint16 ADO, uint16 length, void *data, int timeout);
int ec_APWR(uint16 ADP, uint16 ADO, uint16 length, void *data, int timeout);
int ec_FPRD(uint16 ADP, uint16 ADO, uint16 length, void *data, int timeout);
int ec_FPWR(uint16 ADP, uint16 ADO, uint16 length, void *data, int timeout);

#ifdef __cplusplus
}
#endif

#endif /* ECMASTER_ETHERCAT_H */

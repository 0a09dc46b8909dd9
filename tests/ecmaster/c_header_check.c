/* Compiled as C: the API header must be usable from plain C. */
#include <stddef.h>

#include "ethercat.h"

static int po2so(uint16 slave) { return (int)slave; }

int ecmaster_c_header_check(void) {
  int bad = 0;
  ec_slavet s;
  ec_groupt g;
  bad |= sizeof(ec_smt) != 8;
  bad |= sizeof(ec_fmmut) != 16;
  bad |= sizeof(s.name) != EC_MAXNAME + 1;
  bad |= sizeof(g.IOsegment) / sizeof(g.IOsegment[0]) != EC_MAXIOSEGMENTS;
  bad |= EC_MAXLRWDATA != 1486;
  bad |= EC_TIMEOUTRET3 != 6000;
  bad |= EC_MAXEEPBUF != 4096;
  bad |= EC_STATE_OPERATIONAL != 8 || EC_STATE_ERROR != 0x10;
  bad |= EC_CMD_LRW != 0x0c || EC_CMD_FRMW != 0x0e;
  bad |= TRUE != 1 || FALSE != 0;
  s.PO2SOconfig = po2so;
  bad |= s.PO2SOconfig(7) != 7;
  return bad ? 0 : 1;
}

// The simulated DCU network for tests of the code above the master core (bus
// manager, facade): TestBus is InprocBus (in process, no root) with the
// built-in core, and SimBus (dcu_sim behind a veth pair, root) when the
// project is built against SOEM, which has no transport seam. Both offer
// ok(), error(), ifname() and Control() alike.
#pragma once

#include "tests/support/sim_bus.h"

#if defined(ZORVIK_INPROC_BUS)
#include "tests/support/inproc_bus.h"
namespace simtest {
using TestBus = InprocBus;
}
#else
namespace simtest {
using TestBus = SimBus;
}
#endif

// Access to the default context behind the ec_* functions, for tests and
// tools that run the master core over a transport other than a raw socket.
#ifndef ECMASTER_CONTEXT_H
#define ECMASTER_CONTEXT_H

#include <cstdint>
#include <memory>

#include "ecmaster/transport.h"

namespace ecmaster {

// Opens the default context on the given transport, as ec_init does with a
// raw socket; a transport opened earlier is closed first. ec_close releases
// it. Returns false for a null transport.
bool OpenDefaultContext(std::unique_ptr<Transport> transport);

// Number of frames the default context has handed to its transport(s).
uint64_t DefaultContextFramesSent();

}  // namespace ecmaster

#endif  // ECMASTER_CONTEXT_H

// Access to the default context behind the ec_* functions, for tests and
// tools that run the master core over a transport other than a raw socket.
#ifndef ECMASTER_CONTEXT_H
#define ECMASTER_CONTEXT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ecmaster/transport.h"

namespace ecmaster {

// Opens the default context on the given transport, as ec_init does with a
// raw socket; a transport opened earlier is closed first. ec_close releases
// it. Returns false for a null transport.
bool OpenDefaultContext(std::unique_ptr<Transport> transport);

// Test seam for the code above the C API (bus manager, facade, programs),
// which opens the bus only through ec_init(ifname). Product code never
// calls these.
//
// UseTransportForNextInit: the next ec_init takes this transport, whatever
// interface it names, instead of opening a raw socket. A null transport
// cancels a pending one.
void UseTransportForNextInit(std::unique_ptr<Transport> transport);

// SetTransportOpener: while set, every ec_init asks opener for its transport
// (after a transport handed over by UseTransportForNextInit); a null result
// makes ec_init fail as for an interface that cannot be opened. An empty
// function restores raw sockets. Suits callers that start the bus more than
// once (a restart runs the whole bring-up, ec_init included).
using TransportOpener = std::function<std::unique_ptr<Transport>(const std::string& ifname)>;
void SetTransportOpener(TransportOpener opener);

// Number of frames the default context has handed to its transport(s).
uint64_t DefaultContextFramesSent();

}  // namespace ecmaster

#endif  // ECMASTER_CONTEXT_H

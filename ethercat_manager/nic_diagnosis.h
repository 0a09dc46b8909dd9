// Why a network interface cannot carry the EtherCAT bus, found with plain
// Linux calls, so that the answer is the same whichever master library
// opened (or failed to open) the raw socket.
#pragma once

#include <string>

namespace ethercat_manager {

// The first cause found, checked in this order: no name, a name longer than
// the kernel's 15 characters, no interface of that name, no permission for
// a raw socket (neither root nor CAP_NET_RAW in the effective set), the
// interface is down. An empty text when none of these holds.
std::string DiagnoseInterface(const std::string& ifname);

// Why an interface that opened carries no answer at all: it is down, or it
// has no carrier (no cable, or nothing powered at its other end). An empty
// text when neither holds: then the slaves themselves do not answer.
std::string DiagnoseSilentInterface(const std::string& ifname);

}  // namespace ethercat_manager

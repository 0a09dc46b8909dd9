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

}  // namespace ethercat_manager

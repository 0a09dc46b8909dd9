// The raw packet socket behind OpenRawSocket, with its receive path chosen.
#ifndef ECMASTER_SRC_RAW_SOCKET_H
#define ECMASTER_SRC_RAW_SOCKET_H

#include <memory>
#include <string>

#include "ecmaster/transport.h"

namespace ecmaster {

enum class ReceivePath {
  // Frames arrive in a ring shared with the kernel (PACKET_RX_RING): taking
  // one costs no system call, waiting for one a single ppoll. Falls back to
  // kCopy when the kernel refuses the ring.
  kRing,
  // One recvfrom per frame.
  kCopy,
};

std::unique_ptr<Transport> OpenRawSocketWith(const std::string& ifname, ReceivePath path,
                                             std::string* error);

}  // namespace ecmaster

#endif  // ECMASTER_SRC_RAW_SOCKET_H

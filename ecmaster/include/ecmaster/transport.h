// Frame transport underneath the master core.
//
// The core hands complete Ethernet frames (header included, no FCS) to a
// Transport and reads frames back from it. The production transport is a raw
// packet socket on a network interface; tests substitute an in-process one.
#ifndef ECMASTER_TRANSPORT_H
#define ECMASTER_TRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ecmaster {

class Transport {
 public:
  virtual ~Transport() = default;

  // Queues one frame for transmission. Must not block for long and must not
  // allocate. Returns false when the frame could not be handed over.
  virtual bool Send(const uint8_t* frame, size_t len) = 0;

  // Waits up to timeout_ns for one received frame and copies it to buf
  // (at most cap bytes). Returns the frame length, 0 when nothing arrived in
  // time, or a negative value when the transport has failed. A timeout of 0
  // only looks at what has already arrived. Must not allocate.
  //
  // The core waits in Receive from one thread at a time; meanwhile Send,
  // and Receive with a timeout of 0, may run on other threads.
  virtual int Receive(uint8_t* buf, size_t cap, int64_t timeout_ns) = 0;
};

// Opens a raw packet socket for EtherType 0x88A4 bound to the named interface
// and switches the interface to promiscuous mode. Returns nullptr when the
// interface does not exist or the socket cannot be opened or bound (for
// example without CAP_NET_RAW). On failure *error (if given) says why.
std::unique_ptr<Transport> OpenRawSocket(const std::string& ifname,
                                         std::string* error = nullptr);

}  // namespace ecmaster

#endif  // ECMASTER_TRANSPORT_H

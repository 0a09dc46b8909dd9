// Raw packet socket transport (Linux AF_PACKET) for EtherType 0x88A4.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "clock.h"
#include "ecmaster/transport.h"
#include "esc_registers.h"
#include "ethercat.h"

namespace ecmaster {

namespace {

#ifdef PACKET_IGNORE_OUTGOING
constexpr int kPacketIgnoreOutgoing = PACKET_IGNORE_OUTGOING;
#else
constexpr int kPacketIgnoreOutgoing = 23;  // Linux 4.20 and later
#endif

class RawSocketTransport final : public Transport {
 public:
  explicit RawSocketTransport(int fd) : fd_(fd) {}
  ~RawSocketTransport() override { ::close(fd_); }

  bool Send(const uint8_t* frame, size_t len) override {
    return ::send(fd_, frame, len, MSG_DONTWAIT) == static_cast<ssize_t>(len);
  }

  int Receive(uint8_t* buf, size_t cap, int64_t timeout_ns) override {
    const int64_t deadline = MonotonicNs() + timeout_ns;
    for (;;) {
      struct sockaddr_ll from;
      socklen_t fromlen = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buf, cap, MSG_DONTWAIT,
                                   reinterpret_cast<struct sockaddr*>(&from), &fromlen);
      if (n >= 0) {
        if (from.sll_pkttype == PACKET_OUTGOING) continue;  // our own frames
        return static_cast<int>(n);
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      const int64_t left = deadline - MonotonicNs();
      if (left <= 0) return 0;
      struct pollfd pfd;
      pfd.fd = fd_;
      pfd.events = POLLIN;
      pfd.revents = 0;
      struct timespec ts;
      ts.tv_sec = static_cast<time_t>(left / 1000000000);
      ts.tv_nsec = static_cast<long>(left % 1000000000);
      const int r = ::ppoll(&pfd, 1, &ts, nullptr);
      if (r < 0 && errno != EINTR) return -1;
      if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
    }
  }

 private:
  int fd_;
};

void SetError(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what + ": " + std::strerror(errno);
}

}  // namespace

std::unique_ptr<Transport> OpenRawSocket(const std::string& ifname, std::string* error) {
  const int fd = ::socket(PF_PACKET, SOCK_RAW, htons(wire::kEtherType));
  if (fd < 0) {
    SetError(error, "socket");
    return nullptr;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_DONTROUTE, &one, sizeof one);
  // The kernel hands a packet socket a copy of every frame it sends; asking
  // it not to saves a receive call and a copy per frame. Older kernels
  // refuse the option, and Receive still drops the copies by their type.
  ::setsockopt(fd, SOL_PACKET, kPacketIgnoreOutgoing, &one, sizeof one);

  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  if (ifname.empty() || ifname.size() >= sizeof ifr.ifr_name) {
    errno = ENODEV;
    SetError(error, "interface " + ifname);
    ::close(fd);
    return nullptr;
  }
  std::memcpy(ifr.ifr_name, ifname.c_str(), ifname.size());
  if (::ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
    SetError(error, "interface " + ifname);
    ::close(fd);
    return nullptr;
  }
  const int ifindex = ifr.ifr_ifindex;
  // Slaves answer with their own source address: accept every frame.
  if (::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_PROMISC | IFF_BROADCAST);
    ::ioctl(fd, SIOCSIFFLAGS, &ifr);
  }

  struct sockaddr_ll sll;
  std::memset(&sll, 0, sizeof sll);
  sll.sll_family = AF_PACKET;
  sll.sll_ifindex = ifindex;
  sll.sll_protocol = htons(wire::kEtherType);
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof sll) < 0) {
    SetError(error, "bind " + ifname);
    ::close(fd);
    return nullptr;
  }
  // Drop whatever was queued from other interfaces before the bind.
  uint8_t junk[EC_BUFSIZE];
  while (::recv(fd, junk, sizeof junk, MSG_DONTWAIT) >= 0) {
  }
  return std::make_unique<RawSocketTransport>(fd);
}

}  // namespace ecmaster

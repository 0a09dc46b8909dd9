// Raw packet socket transport (Linux AF_PACKET) for EtherType 0x88A4.
//
// Per frame the cyclic path costs one send and, for the reply, one ppoll
// that sleeps until it arrives; the reply itself is read from a ring shared
// with the kernel (no further system call, and the kernel's copy of it and
// the freeing of its buffer happen on the sender's side of the wire).
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "clock.h"
#include "ecmaster/transport.h"
#include "esc_registers.h"
#include "ethercat.h"
#include "raw_socket.h"

namespace ecmaster {

namespace {

#ifdef PACKET_IGNORE_OUTGOING
constexpr int kPacketIgnoreOutgoing = PACKET_IGNORE_OUTGOING;
#else
constexpr int kPacketIgnoreOutgoing = 23;  // Linux 4.20 and later
#endif

// Frames handed to the master through the receive ring. 128 slots of 2 KiB
// hold about as many frames as the socket's default receive buffer.
constexpr unsigned kRingSlotSize = 2048;
constexpr unsigned kRingSlots = 128;

// The receive ring of a packet socket (TPACKET_V2): the kernel writes each
// frame into the next slot and hands the slot over (TP_STATUS_USER); the
// reader copies the frame out and hands the slot back (TP_STATUS_KERNEL).
// Slots are taken in order under a priority-inheriting mutex, held for one
// copy, so that a reader of lower priority that is preempted while it holds
// it is lifted rather than left in the way of the cyclic thread.
class RxRing {
 public:
  RxRing(uint8_t* base, size_t size) : base_(base), size_(size) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mu_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~RxRing() {
    pthread_mutex_destroy(&mu_);
    ::munmap(base_, size_);
  }
  RxRing(const RxRing&) = delete;
  RxRing& operator=(const RxRing&) = delete;

  // Copies the oldest frame out (at most cap bytes) and returns its length;
  // 0 when the ring holds none. Copies of our own frames are skipped.
  int Take(uint8_t* buf, size_t cap) {
    pthread_mutex_lock(&mu_);
    int n = 0;
    for (unsigned tries = 0; tries < kRingSlots; ++tries) {
      uint8_t* slot = base_ + static_cast<size_t>(head_) * kRingSlotSize;
      auto* hdr = reinterpret_cast<struct tpacket2_hdr*>(slot);
      if (!(__atomic_load_n(&hdr->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) break;
      const auto* from =
          reinterpret_cast<const struct sockaddr_ll*>(slot + TPACKET_ALIGN(sizeof(struct tpacket2_hdr)));
      const size_t mac = hdr->tp_mac;
      size_t len = hdr->tp_snaplen;
      if (mac > kRingSlotSize) len = 0;
      len = std::min({len, kRingSlotSize - std::min<size_t>(mac, kRingSlotSize), cap});
      const bool own = from->sll_pkttype == PACKET_OUTGOING;
      if (!own) std::memcpy(buf, slot + mac, len);
      __atomic_store_n(&hdr->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
      head_ = (head_ + 1) % kRingSlots;
      if (!own && len > 0) {
        n = static_cast<int>(len);
        break;
      }
    }
    pthread_mutex_unlock(&mu_);
    return n;
  }

 private:
  uint8_t* const base_;
  const size_t size_;
  pthread_mutex_t mu_;
  unsigned head_ = 0;  // the next slot to read, guarded by mu_
};

class RawSocketTransport final : public Transport {
 public:
  RawSocketTransport(int fd, std::unique_ptr<RxRing> ring) : fd_(fd), ring_(std::move(ring)) {}
  ~RawSocketTransport() override {
    ring_.reset();
    ::close(fd_);
  }

  bool Send(const uint8_t* frame, size_t len) override {
    return ::send(fd_, frame, len, MSG_DONTWAIT) == static_cast<ssize_t>(len);
  }

  int Receive(uint8_t* buf, size_t cap, int64_t timeout_ns) override {
    return ring_ ? ReceiveFromRing(buf, cap, timeout_ns) : ReceiveByCopy(buf, cap, timeout_ns);
  }

 private:
  // What has arrived costs no system call; waiting costs one ppoll per
  // wake-up.
  int ReceiveFromRing(uint8_t* buf, size_t cap, int64_t timeout_ns) {
    int n = ring_->Take(buf, cap);
    if (n > 0 || timeout_ns <= 0) return n;
    const int64_t deadline = MonotonicNs() + timeout_ns;
    int64_t left = timeout_ns;
    for (;;) {
      const int r = Wait(left);
      if (r < 0) return -1;
      n = ring_->Take(buf, cap);
      if (n > 0) return n;
      if (r > 0) {
        // Readable with an empty ring: a frame the kernel could not put
        // into a slot waits on the socket's queue instead.
        n = ReceiveQueued(buf, cap);
        if (n != 0) return n;
      }
      left = deadline - MonotonicNs();
      if (left <= 0) return 0;
    }
  }

  int ReceiveByCopy(uint8_t* buf, size_t cap, int64_t timeout_ns) {
    const int64_t deadline = MonotonicNs() + timeout_ns;
    for (;;) {
      const int n = ReceiveQueued(buf, cap);
      if (n != 0) return n;
      const int64_t left = deadline - MonotonicNs();
      if (left <= 0) return 0;
      if (Wait(left) < 0) return -1;
    }
  }

  // One frame from the socket's queue without waiting: its length, 0 when
  // there is none, -1 when the socket failed.
  int ReceiveQueued(uint8_t* buf, size_t cap) {
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
      return 0;
    }
  }

  // Waits up to left_ns for the socket to become readable: 1 when it is, 0
  // on timeout or signal, -1 when it failed. A pending socket error (the
  // interface went down) is taken off the socket, so that the next wait
  // after it comes back sleeps again.
  int Wait(int64_t left_ns) {
    struct pollfd pfd;
    pfd.fd = fd_;
    pfd.events = POLLIN;
    pfd.revents = 0;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(left_ns / 1000000000);
    ts.tv_nsec = static_cast<long>(left_ns % 1000000000);
    const int r = ::ppoll(&pfd, 1, &ts, nullptr);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
      return -1;
    }
    return r > 0 ? 1 : 0;
  }

  int fd_;
  std::unique_ptr<RxRing> ring_;
};

// Sets up the receive ring on an unbound socket; nullptr when the kernel
// refuses it.
std::unique_ptr<RxRing> MapRxRing(int fd) {
  const int version = TPACKET_V2;
  if (::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return nullptr;
  const long page = ::sysconf(_SC_PAGESIZE);
  const unsigned block = page >= static_cast<long>(kRingSlotSize) ? static_cast<unsigned>(page) : 4096;
  const size_t size = static_cast<size_t>(kRingSlots) * kRingSlotSize;
  if (block % kRingSlotSize != 0 || size % block != 0) return nullptr;
  struct tpacket_req req;
  std::memset(&req, 0, sizeof req);
  req.tp_block_size = block;
  req.tp_block_nr = static_cast<unsigned>(size / block);
  req.tp_frame_size = kRingSlotSize;
  req.tp_frame_nr = kRingSlots;
  if (::setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return nullptr;
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    std::memset(&req, 0, sizeof req);
    ::setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req);
    return nullptr;
  }
  return std::make_unique<RxRing>(static_cast<uint8_t*>(base), size);
}

void SetError(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what + ": " + std::strerror(errno);
}

}  // namespace

std::unique_ptr<Transport> OpenRawSocket(const std::string& ifname, std::string* error) {
  return OpenRawSocketWith(ifname, ReceivePath::kRing, error);
}

std::unique_ptr<Transport> OpenRawSocketWith(const std::string& ifname, ReceivePath path,
                                             std::string* error) {
  // No protocol yet: the socket receives nothing before the bind below, so
  // that every frame it gets comes from the bus interface, and through the
  // ring once there is one.
  const int fd = ::socket(PF_PACKET, SOCK_RAW, 0);
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
  std::unique_ptr<RxRing> ring;
  if (path == ReceivePath::kRing) ring = MapRxRing(fd);

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
  // Nothing should have been queued before the bind; drop it if it was.
  uint8_t junk[EC_BUFSIZE];
  while (::recv(fd, junk, sizeof junk, MSG_DONTWAIT) >= 0) {
  }
  return std::make_unique<RawSocketTransport>(fd, std::move(ring));
}

}  // namespace ecmaster

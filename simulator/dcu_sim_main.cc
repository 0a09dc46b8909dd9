// dcu_sim: answers EtherCAT frames on a network interface as a chain of DCU
// boards with their actuators and IMUs would.
//
//   dcu_sim --ifname IF --config FILE [--control PATH] [--rt-priority N]
//           [--cpu N] [--no-kernel-timestamps] [--verbose]
//   dcu_sim --config FILE --check          validate and describe the network
//   dcu_sim --config FILE --print-ifname   print ZorvikController.ethercat.ifname
//
// Exit status: 0 after SIGINT/SIGTERM, 1 on a runtime failure, 2 on bad
// arguments or settings.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/control_client.h"
#include "simulator/control_server.h"
#include "simulator/sim_network.h"

namespace {

constexpr uint16_t kEtherTypeEcat = 0x88A4;

struct Options {
  std::string ifname;
  std::string config;
  std::string control;
  int rt_priority = 40;
  int cpu = -1;
  bool kernel_timestamps = true;
  bool verbose = false;
  bool check = false;
  bool print_ifname = false;
};

void Usage() {
  std::fprintf(stderr,
               "usage: dcu_sim --ifname IF --config FILE [--control PATH] [--rt-priority N (0 = off, default 40)]\n"
               "               [--cpu N] [--no-kernel-timestamps] [--verbose]\n"
               "       dcu_sim --config FILE --check | --print-ifname\n");
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "dcu_sim: %s needs a value\n", a.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](int* out) {
      std::string v;
      if (!value(&v)) return false;
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < -1 || n > 99) {
        std::fprintf(stderr, "dcu_sim: bad value '%s' for %s\n", v.c_str(), a.c_str());
        return false;
      }
      *out = static_cast<int>(n);
      return true;
    };
    if (a == "--ifname") { if (!value(&o->ifname)) return false; }
    else if (a == "--config") { if (!value(&o->config)) return false; }
    else if (a == "--control") { if (!value(&o->control)) return false; }
    else if (a == "--rt-priority") { if (!number(&o->rt_priority)) return false; }
    else if (a == "--cpu") { if (!number(&o->cpu)) return false; }
    else if (a == "--no-kernel-timestamps") o->kernel_timestamps = false;
    else if (a == "--verbose") o->verbose = true;
    else if (a == "--check") o->check = true;
    else if (a == "--print-ifname") o->print_ifname = true;
    else if (a == "--help" || a == "-h") { Usage(); std::exit(0); }
    else {
      std::fprintf(stderr, "dcu_sim: unknown argument '%s'\n", a.c_str());
      return false;
    }
  }
  if (o->config.empty()) {
    std::fprintf(stderr, "dcu_sim: --config FILE is required\n");
    return false;
  }
  if (!o->check && !o->print_ifname && o->ifname.empty()) {
    std::fprintf(stderr, "dcu_sim: --ifname IF is required\n");
    return false;
  }
  return true;
}

uint64_t ClockNs(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

int OpenPacketSocket(const std::string& ifname, bool timestamps, std::string* error) {
  const unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) {
    *error = "no network interface '" + ifname + "'";
    return -1;
  }
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherTypeEcat));
  if (fd < 0) {
    *error = std::string("cannot open a raw socket (run as root): ") + std::strerror(errno);
    return -1;
  }
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(kEtherTypeEcat);
  sll.sll_ifindex = static_cast<int>(index);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
    *error = "cannot bind to " + ifname + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  packet_mreq mr{};
  mr.mr_ifindex = static_cast<int>(index);
  mr.mr_type = PACKET_MR_PROMISC;
  setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr);
  int one = 1;
  setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  int buf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf);
  if (timestamps) setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  return fd;
}

void SetRealtime(const Options& o) {
  if (o.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(o.cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
      std::fprintf(stderr, "dcu_sim: note: cannot bind to CPU %d: %s\n", o.cpu, std::strerror(errno));
    }
  }
  if (o.rt_priority > 0) {
    sched_param p{};
    p.sched_priority = o.rt_priority;
    if (sched_setscheduler(0, SCHED_FIFO, &p) != 0) {
      std::fprintf(stderr, "dcu_sim: note: real-time priority not available: %s\n", std::strerror(errno));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // No page faults on the frame path (sanitizer builds map terabytes of
    // shadow memory and are left alone).
    mlockall(MCL_CURRENT | MCL_FUTURE);
#endif
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) {
    Usage();
    return 2;
  }
  std::ifstream file(opt.config);
  if (!file) {
    std::fprintf(stderr, "dcu_sim: cannot read %s\n", opt.config.c_str());
    return 2;
  }
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  auto sim = dcusim::SimNetwork::FromYaml(text.str(), &error);
  if (!sim) {
    std::fprintf(stderr, "dcu_sim: bad settings in %s: %s\n", opt.config.c_str(), error.c_str());
    return 2;
  }
  if (opt.print_ifname) {
    std::printf("%s\n", sim->MasterIfname().c_str());
    return 0;
  }
  for (const auto& w : sim->Warnings()) std::fprintf(stderr, "dcu_sim: warning: %s\n", w.c_str());
  if (opt.check) {
    std::printf("%s\n", sim->Command("list", 0).c_str());
    return 0;
  }

  int fd = OpenPacketSocket(opt.ifname, opt.kernel_timestamps, &error);
  if (fd < 0) {
    std::fprintf(stderr, "dcu_sim: %s\n", error.c_str());
    return 1;
  }
  if (opt.control.empty()) opt.control = dcusim::DefaultControlPath(opt.ifname);
  dcusim::ControlServer control([&](const std::string& line) {
    std::string reply = sim->Command(line, dcusim::SimNetwork::MonotonicNs());
    if (opt.verbose) std::fprintf(stderr, "dcu_sim: control '%s' -> %s\n", line.c_str(), reply.substr(0, reply.find('\n')).c_str());
    return reply;
  });
  if (!control.Listen(opt.control, &error)) {
    std::fprintf(stderr, "dcu_sim: %s\n", error.c_str());
    return 1;
  }

  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  int sfd = signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
  SetRealtime(opt);

  std::fprintf(stderr, "dcu_sim: %d boards on %s, control %s\n", sim->BoardCount(), opt.ifname.c_str(),
               control.path().c_str());

  std::vector<uint8_t> frame(16384);
  alignas(cmsghdr) char cbuf[256];
  std::vector<pollfd> fds;
  uint64_t last_t = 0;
  bool running = true;
  int status = 0;
  while (running) {
    fds.clear();
    fds.push_back(pollfd{fd, POLLIN, 0});
    fds.push_back(pollfd{sfd, POLLIN, 0});
    control.AddPollFds(&fds);
    int r = poll(fds.data(), fds.size(), -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "dcu_sim: poll: %s\n", std::strerror(errno));
      status = 1;
      break;
    }
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
      std::fprintf(stderr, "dcu_sim: the network interface went away\n");
      status = 1;
      break;
    }
    if (fds[0].revents & POLLIN) {
      for (;;) {
        sockaddr_ll from{};
        iovec iov{frame.data(), frame.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = cbuf;
        msg.msg_controllen = sizeof cbuf;
        ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n < 0) break;
        if (from.sll_pkttype == PACKET_OUTGOING || (msg.msg_flags & MSG_TRUNC)) continue;
        const uint64_t mono = ClockNs(CLOCK_MONOTONIC);
        uint64_t t = mono;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
          if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            // The kernel stamps arrivals on the real-time clock; carry the
            // stamp over to the monotonic clock.
            const uint64_t rt_now = ClockNs(CLOCK_REALTIME);
            const uint64_t rt = static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
            const uint64_t age = rt_now > rt ? rt_now - rt : 0;
            t = mono > age ? mono - age : mono;
          }
        }
        if (t < last_t) t = last_t;
        last_t = t;
        const size_t len = static_cast<size_t>(n);
        if (sim->ProcessFrame(frame.data(), len, t)) {
          if (send(fd, frame.data(), len, 0) < 0 && opt.verbose) {
            std::fprintf(stderr, "dcu_sim: send: %s\n", std::strerror(errno));
          }
          sim->RecordReplyLatency(ClockNs(CLOCK_MONOTONIC) - t);
        }
      }
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo si;
      if (read(sfd, &si, sizeof si) > 0) running = false;
    }
    control.HandleEvents(fds, 2);
  }
  close(fd);
  close(sfd);
  return status;
}

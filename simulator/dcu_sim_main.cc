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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
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

// Gathers what the program needs before serving: the network from the
// configuration. Returns 0 to go on, else the exit status (also for --check
// and --print-ifname, which end here).
int LoadNetwork(const Options& opt, std::unique_ptr<dcusim::SimNetwork>* out) {
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
    return -1;
  }
  for (const auto& w : sim->Warnings()) std::fprintf(stderr, "dcu_sim: warning: %s\n", w.c_str());
  if (opt.check) {
    std::printf("%s\n", sim->Command("list", 0).c_str());
    return -1;
  }
  *out = std::move(sim);
  return 0;
}

// SIGINT and SIGTERM as a descriptor the loop polls.
int SignalDescriptor() {
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The serving loop: frames from the packet socket, control commands and
// signals, one thread. Every time-based decision of the network (SM
// watchdog, DC clocks, device dynamics, statistics) is taken at the time a
// frame arrived on the wire, never at the time it is processed, so a
// simulator held up by the machine judges the master by what the master did.
class FrameServer {
 public:
  FrameServer(dcusim::SimNetwork* sim, int fd, const Options& opt) : sim_(sim), fd_(fd), opt_(opt) {}

  // Serves until a signal (status 0) or a runtime failure (status 1).
  int Run(int signal_fd, dcusim::ControlServer* control);
  // One control command, answered as of now: the frames that arrived before
  // it are processed first.
  std::string Control(const std::string& line);

 private:
  // Wakes at least this often, so that a stall of the simulator itself shows
  // in the gap between two passes even on a quiet line.
  static constexpr int kTickMs = 5;
  static constexpr uint64_t kBurstNs = 1000000;

  bool ReceiveOne();
  void DrainFrames();
  uint64_t ArrivalTime(msghdr* msg, uint64_t read_ns) const;
  void StartPass();

  dcusim::SimNetwork* sim_;
  const int fd_;
  const Options& opt_;
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(16384);
  alignas(cmsghdr) char cbuf_[256];
  uint64_t last_arrival_ = 0;  // arrival time of the latest frame
  uint64_t seen_until_ = 0;    // every frame that arrived before this time is processed
  uint64_t last_pass_ = 0;
};

void FrameServer::StartPass() {
  const uint64_t now = ClockNs(CLOCK_MONOTONIC);
  if (last_pass_ != 0 && now > last_pass_) sim_->RecordPassGap(now - last_pass_);
  last_pass_ = now;
}

uint64_t FrameServer::ArrivalTime(msghdr* msg, uint64_t read_ns) const {
  uint64_t t = read_ns;
  for (cmsghdr* c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec ts;
    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
    // The kernel stamps arrivals on the real-time clock; carry the stamp
    // over to the monotonic clock.
    const uint64_t rt_now = ClockNs(CLOCK_REALTIME);
    const uint64_t rt = static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
    const uint64_t age = rt_now > rt ? rt_now - rt : 0;
    t = read_ns > age ? read_ns - age : read_ns;
  }
  // Arrival order is the wire's order: time never goes backwards.
  return t < last_arrival_ ? last_arrival_ : t;
}

// Processes one waiting frame and sends its reply; false when none waits.
bool FrameServer::ReceiveOne() {
  for (;;) {
    sockaddr_ll from{};
    iovec iov{frame_.data(), frame_.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = cbuf_;
    msg.msg_controllen = sizeof cbuf_;
    const uint64_t before = ClockNs(CLOCK_MONOTONIC);
    const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0) {
      // Empty: whatever arrived before `before` has been dealt with.
      if (before > seen_until_) seen_until_ = before;
      return false;
    }
    if (from.sll_pkttype == PACKET_OUTGOING || (msg.msg_flags & MSG_TRUNC)) continue;
    const uint64_t t = ArrivalTime(&msg, ClockNs(CLOCK_MONOTONIC));
    last_arrival_ = t;
    const size_t len = static_cast<size_t>(n);
    if (sim_->ProcessFrame(frame_.data(), len, t)) {
      if (send(fd_, frame_.data(), len, 0) < 0 && opt_.verbose) {
        std::fprintf(stderr, "dcu_sim: send: %s\n", std::strerror(errno));
      }
      sim_->RecordReplyLatency(ClockNs(CLOCK_MONOTONIC) - t);
    }
    return true;
  }
}

void FrameServer::DrainFrames() {
  // A flood of frames never holds the CPU from other simulators at the same
  // real-time priority for more than a burst: after each one, the others
  // get their turn (a no-op when none waits).
  uint64_t burst_start = ClockNs(CLOCK_MONOTONIC);
  while (ReceiveOne()) {
    const uint64_t now = ClockNs(CLOCK_MONOTONIC);
    if (now - burst_start > kBurstNs) {
      sched_yield();
      burst_start = ClockNs(CLOCK_MONOTONIC);
    }
  }
}

std::string FrameServer::Control(const std::string& line) {
  DrainFrames();
  const std::string reply = sim_->Command(line, std::max(seen_until_, last_arrival_));
  if (opt_.verbose) {
    std::fprintf(stderr, "dcu_sim: control '%s' -> %s\n", line.c_str(), reply.substr(0, reply.find('\n')).c_str());
  }
  return reply;
}

int FrameServer::Run(int signal_fd, dcusim::ControlServer* control) {
  std::vector<pollfd> fds;
  fds.reserve(64);
  for (;;) {
    fds.clear();
    fds.push_back(pollfd{fd_, POLLIN, 0});
    fds.push_back(pollfd{signal_fd, POLLIN, 0});
    control->AddPollFds(&fds);
    const int r = poll(fds.data(), fds.size(), kTickMs);
    StartPass();
    if (r < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "dcu_sim: poll: %s\n", std::strerror(errno));
      return 1;
    }
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
      std::fprintf(stderr, "dcu_sim: the network interface went away\n");
      return 1;
    }
    if (fds[0].revents & POLLIN) DrainFrames();
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo si;
      if (read(signal_fd, &si, sizeof si) > 0) return 0;
    }
    control->HandleEvents(fds, 2);
  }
}

// --help and --version: standard output, status 0, before anything else.
bool PrintProgramInfo(int argc, char** argv) {
  static const char kHelp[] =
    "usage: dcu_sim --ifname IF --config FILE [--control PATH] [--rt-priority N (0 = off, default 40)]\n"
    "               [--cpu N] [--no-kernel-timestamps] [--verbose]\n"
    "       dcu_sim --config FILE --check | --print-ifname\n"
    "       dcu_sim --help | --version\n"
    "\n"
    "Answers EtherCAT frames on a network interface as the chain of DCU boards\n"
    "of a self-test configuration file would, with their actuators and IMUs: a\n"
    "robot for dcu_selftest, robot_selftest and dcu_businfo to test against.\n"
    "Simulation-only settings and faults live under the top-level key\n"
    "DcuSimulator, which the self-tests ignore. Runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --ifname IF             the interface to answer on (the end of a veth pair\n"
    "                          or a cable to the master's port)\n"
    "  --config FILE           the self-test configuration (man 5\n"
    "                          zorvik_selftest.yaml) with DcuSimulator settings\n"
    "  --control PATH          the control socket for dcu_simctl (default\n"
    "                          /run/dcu_sim/IF.sock, root only)\n"
    "  --rt-priority N         SCHED_FIFO priority, 0 = off (default 40)\n"
    "  --cpu N                 pin the simulator to CPU N\n"
    "  --no-kernel-timestamps  take frame times after the receive call\n"
    "  --verbose               print every control command and failed send\n"
    "  --check                 check the file, describe the network and exit\n"
    "  --print-ifname          print ZorvikController.ethercat.ifname and exit\n"
    "  -h, --help              print this help and exit\n"
    "  --version               print the version and exit\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM (and after --check), 1 on a run-time\n"
    "failure (the interface, the control socket), 2 on bad arguments or settings.\n"
    "Needs root or cap_net_raw for the interface.\n"
    "\n"
    "Manual: man dcu_sim; commands: man dcu_simctl\n";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return true;
    }
    if (a == "--version") {
      std::printf("dcu_sim %s\n", ZORVIK_VERSION);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (PrintProgramInfo(argc, argv)) return 0;
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) {
    Usage();
    return 2;
  }
  std::unique_ptr<dcusim::SimNetwork> sim;
  const int loaded = LoadNetwork(opt, &sim);
  if (loaded != 0) return loaded < 0 ? 0 : loaded;

  std::string error;
  const int fd = OpenPacketSocket(opt.ifname, opt.kernel_timestamps, &error);
  if (fd < 0) {
    std::fprintf(stderr, "dcu_sim: %s\n", error.c_str());
    return 1;
  }
  if (opt.control.empty()) opt.control = dcusim::DefaultControlPath(opt.ifname);
  FrameServer server(sim.get(), fd, opt);
  dcusim::ControlServer control([&](const std::string& line) { return server.Control(line); });
  if (!control.Listen(opt.control, &error)) {
    std::fprintf(stderr, "dcu_sim: %s\n", error.c_str());
    return 1;
  }
  const int sfd = SignalDescriptor();
  SetRealtime(opt);

  std::fprintf(stderr, "dcu_sim: %d boards on %s, control %s\n", sim->BoardCount(), opt.ifname.c_str(),
               control.path().c_str());
  const int status = server.Run(sfd, &control);
  close(fd);
  close(sfd);
  return status;
}

// dcu_sim judges time by when frames arrived on the wire, not by when it got
// round to processing them: a simulator held up (preempted, stopped) never
// invents an SM watchdog fault, and `stats` shows how long it was held up.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/simulator/frame_util.h"
#include "tests/support/sim_bus.h"

namespace simtest {
namespace {

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// A bare master on the master end of the veth pair.
class Master {
 public:
  explicit Master(const std::string& ifname) {
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x88A4));
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(0x88A4);
    sll.sll_ifindex = int(if_nametoindex(ifname.c_str()));
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Master() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  void Send(std::vector<Dg> dgs, uint8_t index) {
    for (auto& d : dgs) d.index = index;
    const auto f = BuildFrame(dgs);
    (void)!send(fd_, f.data(), f.size(), 0);
  }
  // Sends and waits (at most 2 s) for the processed reply.
  std::vector<Dg> Exchange(std::vector<Dg> dgs) {
    const uint8_t index = next_index_++;
    Send(std::move(dgs), index);
    for (int waited = 0; waited < 2000;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) {
        waited += 10;
        continue;
      }
      std::vector<uint8_t> buf(2048);
      const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      if (n >= 18 && (buf[6] & 0x02) && buf[17] == index) {
        buf.resize(size_t(n));
        return ParseFrame(buf);
      }
    }
    return {};
  }
  // Process data only, replies not awaited (they are drained later).
  void Outputs(int boards) { Send({Logical(LRW, 0, std::vector<uint8_t>(480 * size_t(boards), 0))}, 0xEE); }
  void DrainReplies() {
    std::vector<uint8_t> buf(2048);
    while (recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
    }
  }

  // Station addresses, SyncManagers, FMMUs, SAFE_OP, outputs, OP.
  void BringUp(int n) {
    Exchange({Make(BWR, 0, 0x0120, {0x11})});
    for (int k = 1; k <= n; ++k) Exchange({Make(APWR, uint16_t(1 - k), 0x0010, U16(Station(k)))});
    for (int k = 1; k <= n; ++k) {
      Exchange({Make(FPWR, Station(k), 0x0120, U16(0x12))});
      Exchange({Make(FPWR, Station(k), 0x0800, {0x00, 0x10, 240, 0, 0x64, 0, 1, 0})});
      Exchange({Make(FPWR, Station(k), 0x0808, {0x00, 0x14, 240, 0, 0x20, 0, 1, 0})});
      for (int in = 0; in < 2; ++in) {
        std::vector<uint8_t> f = U32(uint32_t(240 * (in ? n + k - 1 : k - 1)));
        const std::vector<uint8_t> rest = {240, 0, 0, 7, 0x00, uint8_t(in ? 0x14 : 0x10), 0, uint8_t(in ? 1 : 2),
                                           1, 0, 0, 0};
        f.insert(f.end(), rest.begin(), rest.end());
        Exchange({Make(FPWR, Station(k), uint16_t(in ? 0x0610 : 0x0600), f)});
      }
      Exchange({Make(FPWR, Station(k), 0x0120, U16(0x04))});
    }
    Exchange({Logical(LRW, 0, std::vector<uint8_t>(480 * size_t(n), 0))});
    for (int k = 1; k <= n; ++k) Exchange({Make(FPWR, Station(k), 0x0120, U16(0x08))});
  }

 private:
  int fd_ = -1;
  uint8_t next_index_ = 1;
};

std::map<std::string, long long> Stats(SimBus& bus) {
  std::map<std::string, long long> m;
  std::istringstream in(bus.Control("stats"));
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = std::atoll(line.c_str() + eq + 1);
  }
  return m;
}

std::string State(SimBus& bus, int k) { return bus.Control("get " + std::to_string(k) + " state"); }

// A master that sends its outputs every 20 ms keeps every board in OP while
// dcu_sim is stopped for 400 ms (four watchdog times): the frames wait in
// the socket with their arrival times and are judged by them. A master that
// really pauses 250 ms trips the watchdog, so the first half is no accident.
TEST(SimArrivalTimeTest, DelayedProcessingNeverTripsTheWatchdogAPausedMasterDoes) {
  std::string why;
  if (!SimBus::Available(&why)) GTEST_SKIP() << why;
  SimBus bus(MakeConfig(3, "unused"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  Master master(bus.ifname());
  ASSERT_TRUE(master.ok());
  master.BringUp(3);
  for (int k = 1; k <= 3; ++k) ASSERT_EQ(State(bus, k).substr(0, 18), "ok state=OP status") << State(bus, k);
  bus.Control("stats reset");

  // Outputs every 20 ms for 1.2 s; dcu_sim is stopped from 0.2 s to 0.6 s.
  for (int i = 0; i < 60; ++i) {
    if (i == 10) {
      ASSERT_EQ(kill(bus.sim_pid(), SIGSTOP), 0);
    }
    if (i == 30) {
      ASSERT_EQ(kill(bus.sim_pid(), SIGCONT), 0);
    }
    master.Outputs(3);
    SleepMs(20);
  }
  master.DrainReplies();
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(State(bus, k), "ok state=OP status=0x0008 code=0x0000 error=0 address=0x100" + std::to_string(k) +
                                 " silent=0");
  }
  auto st = Stats(bus);
  EXPECT_EQ(st["pd_frames"], 60);
  EXPECT_EQ(st["frames_lost"], 0);
  // The periods are those of the master, not of the simulator's processing.
  EXPECT_LT(st["period_max"], 150000000);
  // The stop shows as the simulator's own stall, at least the 400 ms it lasted
  // (the control thread's queries above are no stall).
  ASSERT_TRUE(st.count("sim_stall_max")) << bus.Control("stats");
  EXPECT_GE(st["sim_stall_max"], 350000000);

  // The master pauses 250 ms: every board drops to SAFE_OP with 0x001B.
  bus.Control("stats reset");
  master.Outputs(3);
  SleepMs(250);
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(State(bus, k).substr(0, 45), "ok state=SAFE_OP status=0x0014 code=0x001B er") << State(bus, k);
  }
  st = Stats(bus);
  // A healthy simulator wakes at least every few milliseconds: its longest
  // gap between two passes is far below the watchdog time.
  EXPECT_GT(st["sim_stall_max"], 0);
  EXPECT_LT(st["sim_stall_max"], 100000000);
}

}  // namespace
}  // namespace simtest

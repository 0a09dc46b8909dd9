// dcu_sim on a real interface: raw frames over a veth pair, the control
// socket under abuse, a 1 ms cycle without losses, Wireshark's dissector on
// the replies, and scripts/simnet.sh.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/simulator/frame_util.h"
#include "tests/support/sim_bus.h"
#include "tests/support/build_paths.h"

namespace simtest {
namespace {

#define REQUIRE_BUS()                          \
  do {                                         \
    std::string why;                           \
    if (!SimBus::Available(&why)) GTEST_SKIP() << why; \
  } while (0)

uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

class RawSocket {
 public:
  explicit RawSocket(const std::string& ifname) {
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
  ~RawSocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool Send(const std::vector<uint8_t>& f) { return send(fd_, f.data(), f.size(), 0) == ssize_t(f.size()); }
  // Waits for the reply carrying `index` in its first datagram; false on timeout.
  bool Receive(uint8_t index, int timeout_ms, std::vector<uint8_t>* out) {
    const uint64_t deadline = NowNs() + uint64_t(timeout_ms) * 1000000;
    for (;;) {
      const uint64_t now = NowNs();
      if (now >= deadline) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, int((deadline - now) / 1000000) + 1) <= 0) continue;
      std::vector<uint8_t> buf(2048);
      ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      if (n < 18) continue;
      buf.resize(size_t(n));
      if ((buf[6] & 0x02) && buf[17] == index) {
        *out = buf;
        return true;
      }
    }
  }
  std::vector<Dg> Exchange(std::vector<Dg> dgs, uint8_t index, int timeout_ms = 1000) {
    for (auto& d : dgs) d.index = index;
    if (!Send(BuildFrame(dgs))) return {};
    std::vector<uint8_t> reply;
    if (!Receive(index, timeout_ms, &reply)) return {};
    return ParseFrame(reply);
  }

 private:
  int fd_ = -1;
};

// Station addresses, SMs, FMMUs and OP for n DCUs over the wire.
void BringUpOverWire(RawSocket& raw, int n) {
  uint8_t idx = 100;
  raw.Exchange({Make(BWR, 0, 0x0120, {0x11})}, idx++);
  for (int k = 1; k <= n; ++k) raw.Exchange({Make(APWR, uint16_t(1 - k), 0x0010, U16(Station(k)))}, idx++);
  for (int k = 1; k <= n; ++k) {
    raw.Exchange({Make(FPWR, Station(k), 0x0120, U16(0x12))}, idx++);
    raw.Exchange({Make(FPWR, Station(k), 0x0800, {0x00, 0x10, 240, 0, 0x64, 0, 1, 0})}, idx++);
    raw.Exchange({Make(FPWR, Station(k), 0x0808, {0x00, 0x14, 240, 0, 0x20, 0, 1, 0})}, idx++);
    std::vector<uint8_t> out = U32(uint32_t(240 * (k - 1)));
    std::vector<uint8_t> in = U32(uint32_t(240 * (n + k - 1)));
    for (auto* f : {&out, &in}) {
      const bool is_out = f == &out;
      std::vector<uint8_t> rest = {240, 0, 0, 7, 0x00, uint8_t(is_out ? 0x10 : 0x14), 0, uint8_t(is_out ? 2 : 1), 1, 0, 0, 0};
      f->insert(f->end(), rest.begin(), rest.end());
    }
    raw.Exchange({Make(FPWR, Station(k), 0x0600, out)}, idx++);
    raw.Exchange({Make(FPWR, Station(k), 0x0610, in)}, idx++);
    raw.Exchange({Make(FPWR, Station(k), 0x0120, U16(0x04))}, idx++);
  }
  raw.Exchange({Logical(LRW, 0, std::vector<uint8_t>(480 * size_t(n), 0))}, idx++);
  for (int k = 1; k <= n; ++k) raw.Exchange({Make(FPWR, Station(k), 0x0120, U16(0x08))}, idx++);
}

std::map<std::string, long long> ParseStats(const std::string& text) {
  std::map<std::string, long long> m;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = std::atoll(line.c_str() + eq + 1);
  }
  return m;
}

TEST(SimBusTest, AnswersCraftedFramesOverTheVethPair) {
  REQUIRE_BUS();
  SimBus bus(MakeConfig(2, "unused"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  RawSocket raw(bus.ifname());
  ASSERT_TRUE(raw.ok());
  auto f = BuildFrame({Read(BRD, 0, 0x0000, 2)});
  f[17] = 0x2A;
  ASSERT_TRUE(raw.Send(f));
  std::vector<uint8_t> reply;
  ASSERT_TRUE(raw.Receive(0x2A, 2000, &reply));
  EXPECT_EQ(reply.size(), f.size());  // returned with the length it had: 30 bytes
  EXPECT_EQ(reply[6], 0x03);
  auto d = ParseFrame(reply);
  EXPECT_EQ(d[0].wkc, 2);
  EXPECT_EQ(d[0].adp, 2);
  // The configuration handed to the programs names the master interface.
  std::ifstream cfg(bus.config_path());
  std::stringstream text;
  text << cfg.rdbuf();
  EXPECT_NE(text.str().find("ifname: " + bus.ifname()), std::string::npos);
  EXPECT_EQ(bus.Control("get 2 state").substr(0, 13), "ok state=INIT");
}

TEST(SimBusTest, ControlSocketRejectsBadCommandsAndSurvivesGarbage) {
  REQUIRE_BUS();
  SimBus bus(MakeConfig(1, "unused"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  EXPECT_EQ(bus.Control("fly away"), "error: unknown command 'fly' (try 'help')");
  EXPECT_EQ(bus.Control("board 5 silent"), "error: no board '5' (boards are numbered 1..1)");

  auto connect_raw = [&]() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, bus.control_path().c_str(), sizeof a.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  auto read_reply = [](int fd) {
    std::string got;
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    while (got.find("\n\n") == std::string::npos && poll(&p, 1, 3000) > 0) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, size_t(n));
    }
    return got;
  };
  // Binary garbage with NUL bytes, then an over-long line.
  int fd = connect_raw();
  const char garbage[] = {'\x00', '\xff', '\x1b', '[', '2', 'J', '\x80', '\n'};
  ASSERT_EQ(send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), ssize_t(sizeof garbage));
  EXPECT_EQ(read_reply(fd).substr(0, 6), "error:");
  std::string huge(10000, 'x');
  huge += "\nping\n";
  ASSERT_EQ(send(fd, huge.data(), huge.size(), MSG_NOSIGNAL), ssize_t(huge.size()));
  std::string r = read_reply(fd);
  EXPECT_NE(r.find("error: command longer than 4096 bytes"), std::string::npos) << r;
  close(fd);
  // Many connections at once, some dropped in the middle of a line.
  std::vector<int> fds;
  for (int i = 0; i < 40; ++i) {
    fds.push_back(connect_raw());
    (void)!send(fds.back(), "stats re", 8, MSG_NOSIGNAL);
  }
  for (int f : fds) close(f);
  // Several commands in one write get one reply each, in order.
  fd = connect_raw();
  const std::string two = "ping\r\nget 1 state\n";
  ASSERT_EQ(send(fd, two.data(), two.size(), MSG_NOSIGNAL), ssize_t(two.size()));
  std::string both;
  for (int i = 0; i < 50 && both.find("state=") == std::string::npos; ++i) both += read_reply(fd);
  EXPECT_EQ(both.substr(0, 9), "ok pong\n\n");
  close(fd);

  EXPECT_EQ(bus.Control("ping"), "ok pong");
  EXPECT_TRUE(bus.SimAlive());
  RawSocket raw(bus.ifname());
  EXPECT_EQ(raw.Exchange({Read(BRD, 0, 0, 2)}, 7).size(), 1u);
}

TEST(SimBusTest, OneMillisecondCycleLosesNoFrame) {
  REQUIRE_BUS();
  SimBus bus(MakeConfig(3, "unused"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  RawSocket raw(bus.ifname());
  ASSERT_TRUE(raw.ok());
  BringUpOverWire(raw, 3);
  ASSERT_EQ(bus.Control("get 3 state").substr(0, 11), "ok state=OP");
  bus.Control("stats reset");
  const int frames = 2000;
  int lost = 0;
  uint64_t worst = 0;
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int i = 0; i < frames; ++i) {
    next.tv_nsec += 1000000;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
    const uint64_t t0 = NowNs();
    auto r = raw.Exchange({Logical(LRW, 0, std::vector<uint8_t>(1440, 0)), Read(FRMW, Station(1), 0x0910, 8)},
                          uint8_t(i % 16), 100);
    if (r.size() != 2 || r[0].wkc != 9) ++lost;
    worst = std::max(worst, NowNs() - t0);
  }
  EXPECT_EQ(lost, 0);
  auto st = ParseStats(bus.Control("stats"));
  EXPECT_EQ(st["pd_frames"], frames);
  EXPECT_EQ(st["frames_lost"], 0);
  std::printf("[ figures ] %d frames at 1 ms: worst round trip %.1f us; simulator reply p99 %.1f us, max %.1f us; "
              "period p99 %.1f us\n",
              frames, double(worst) / 1e3, double(st["reply_p99"]) / 1e3, double(st["reply_max"]) / 1e3,
              double(st["period_p99"]) / 1e3);
}

TEST(SimBusTest, WiresharkDissectsEveryReplyWithoutErrors) {
  REQUIRE_BUS();
  if (RunProgram({"tshark", "-v"}) != 0) GTEST_SKIP() << "tshark is not installed";
  SimBus bus(MakeConfig(2, "unused"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  const std::string pcap = "/tmp/" + bus.netns() + ".pcapng";
  const std::string log = "/tmp/" + bus.netns() + ".tshark.log";
  pid_t tshark = fork();
  ASSERT_GE(tshark, 0);
  if (tshark == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    execlp("tshark", "tshark", "-q", "-i", bus.ifname().c_str(), "-f", "ether proto 0x88a4", "-w", pcap.c_str(),
           "-a", "duration:60", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the capture is running.
  bool capturing = false;
  for (int i = 0; i < 300 && !capturing; ++i) {
    std::ifstream l(log);
    std::stringstream s;
    s << l.rdbuf();
    capturing = s.str().find("Capturing on") != std::string::npos;
    if (!capturing) usleep(50000);
  }
  ASSERT_TRUE(capturing) << "tshark did not start";
  usleep(300000);

  RawSocket raw(bus.ifname());
  int sent = 0;
  auto x = [&](std::vector<Dg> d) {
    sent += raw.Exchange(std::move(d), uint8_t(sent % 16)).empty() ? 0 : 1;
  };
  x({Read(BRD, 0, 0x0000, 2)});
  x({Make(BWR, 0, 0x0120, {0x11})});
  x({Make(APWR, 0, 0x0010, U16(Station(1))), Make(APWR, 0xFFFF, 0x0010, U16(Station(2)))});
  x({Read(FPRD, Station(1), 0x0130, 6), Read(FPRD, Station(2), 0x0130, 6), Read(APRD, 0, 0x0008, 2)});
  x({Make(FPWR, Station(1), 0x0502, {0x00, 0x01, 0x08, 0, 0, 0})});
  x({Read(FPRD, Station(1), 0x0508, 8)});
  x({Read(FPRD, Station(2), 0x0110, 2)});
  x({Make(BWR, 0, 0x0900, U32(0))});
  x({Read(FPRD, Station(2), 0x0918, 8)});
  x({Make(NOP, 0, 0, {0, 0})});
  BringUpOverWire(raw, 2);
  for (int i = 0; i < 5; ++i) {
    x({Logical(LRW, 0, std::vector<uint8_t>(960, 0)), Read(FRMW, Station(1), 0x0910, 8)});
  }
  usleep(500000);
  kill(tshark, SIGINT);
  int status;
  waitpid(tshark, &status, 0);

  std::string bad, replies;
  // tshark's notes go to standard error; only the listed frames matter.
  RunProgram({"sh", "-c", "tshark -r " + pcap + " -Y '_ws.malformed || _ws.expert.severity == error || (ecatf && !ecat)' 2>/dev/null"}, &bad);
  RunProgram({"sh", "-c", "tshark -r " + pcap + " -Y 'ecat && eth.src.lg == 1' -T fields -e frame.number 2>/dev/null"}, &replies);
  int reply_count = 0;
  for (char c : replies) reply_count += c == '\n';
  unlink(pcap.c_str());
  unlink(log.c_str());
  EXPECT_EQ(bad, "");
  EXPECT_GE(reply_count, sent);
  EXPECT_EQ(sent, 15);
}

TEST(SimBusTest, SimnetScriptRunsTheCommandAndRemovesEverything) {
  REQUIRE_BUS();
  const std::string cfg = "/tmp/simnet_test_" + std::to_string(getpid()) + ".yaml";
  {
    std::ofstream f(cfg);
    f << MakeConfig(2, "ecat9");
  }
  const std::string sim = DCU_SIM_BINARY;
  std::string out;
  int rc = RunProgram({SIMNET_SCRIPT, "--sim", sim, cfg, "--", "sh", "-c",
                       "ip netns identify $$; ip -br link show ecat9 && \"$DCU_SIMCTL\" get 2 state; exit 5"},
                      &out);
  EXPECT_EQ(rc, 5) << out;
  EXPECT_NE(out.find("ok state=INIT"), std::string::npos) << out;
  const size_t at = out.find("dcusim-m");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string ns = out.substr(at, out.find('\n', at) - at);
  std::string list;
  RunProgram({"ip", "netns", "list"}, &list);
  EXPECT_EQ(list.find(ns), std::string::npos);

  // Bad settings: the command never runs and the status says so.
  {
    std::ofstream f(cfg);
    f << MakeConfig(1, "ecat9", true, 1000000, {}, "frame_loss: 3\n");
  }
  rc = RunProgram({SIMNET_SCRIPT, "--sim", sim, cfg, "--", "true"}, &out);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("DcuSimulator.frame_loss"), std::string::npos) << out;
  unlink(cfg.c_str());
}

}  // namespace
}  // namespace simtest

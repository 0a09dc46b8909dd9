// Wire check: capture a bring-up and a few hundred cycles on the master's
// interface and let Wireshark's EtherCAT dissector judge every frame.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ethercat.h"
#include "tests/support/sim_bus.h"

namespace {

constexpr int kDcus = 4;
constexpr int kCycles = 300;

// Runs a shell command and returns its standard output.
std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

bool HaveTshark() { return Shell("command -v tshark").find("tshark") != std::string::npos; }

int CountLines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

class TsharkCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    char tmpl[] = "/tmp/ecmaster-h2-capXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    cap_ = dir_ + "/bus.pcapng";
  }
  void TearDown() override {
    StopCapture();
    ec_close();
    // ECMASTER_KEEP_CAPTURE=1 keeps the capture for a look by hand.
    if (!dir_.empty() && getenv("ECMASTER_KEEP_CAPTURE") == nullptr) {
      Shell("rm -rf '" + dir_ + "'");
    } else if (!dir_.empty()) {
      fprintf(stderr, "capture kept in %s\n", cap_.c_str());
    }
  }

  // Starts tshark on the interface and waits until it captures.
  void StartCapture(const std::string& ifname) {
    const std::string log = dir_ + "/tshark.log";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      freopen(log.c_str(), "w", stderr);
      freopen("/dev/null", "w", stdout);
      execlp("tshark", "tshark", "-q", "-i", ifname.c_str(), "-f", "ether proto 0x88a4", "-w",
             cap_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      std::ifstream f(log);
      std::stringstream ss;
      ss << f.rdbuf();
      if (ss.str().find("Capturing on") != std::string::npos) {
        // dumpcap reports before its first read; give it a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "tshark did not start capturing";
  }

  void StopCapture() {
    if (pid_ <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid_, SIGINT);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

  std::string Filter(const std::string& filter, const std::string& fields = "") {
    return Shell("tshark -r '" + cap_ + "' -Y '" + filter + "' " + fields + " 2>/dev/null");
  }

  std::string dir_, cap_;
  pid_t pid_ = -1;
  alignas(8) uint8_t iomap_[kDcus * 3 * 240 + 64];
};

TEST_F(TsharkCapture, BringUpAndCyclesAreWellFormed) {
  simtest::SimBus bus(simtest::MakeConfig(kDcus, "h2cap"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  StartCapture(bus.ifname());
  if (HasFatalFailure()) return;

  ASSERT_EQ(ec_init(bus.ifname().c_str()), 1);
  ASSERT_EQ(ec_config_init(FALSE), kDcus);
  ASSERT_EQ(ec_config_map(iomap_), 480 * kDcus);
  ASSERT_TRUE(ec_configdc());
  for (int k = 1; k <= kDcus; ++k) ec_dcsync0(static_cast<uint16>(k), TRUE, 1000000, 0);
  ASSERT_EQ(ec_statecheck(0, EC_STATE_SAFE_OP, 2000000), EC_STATE_SAFE_OP);
  ec_send_processdata();
  ec_receive_processdata(EC_TIMEOUTRET);
  ec_slave[0].state = EC_STATE_OPERATIONAL;
  ec_writestate(0);
  ASSERT_EQ(ec_statecheck(0, EC_STATE_OPERATIONAL, 2000000), EC_STATE_OPERATIONAL);
  ec_readstate();
  for (int c = 0; c < kCycles; ++c) {
    ec_send_processdata();
    ec_receive_processdata(EC_TIMEOUTRET);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ec_slave[0].state = EC_STATE_INIT;
  ec_writestate(0);
  StopCapture();

  const std::string all = Filter("ecat", "-T fields -e frame.number");
  ASSERT_GT(CountLines(all), 2 * 2 * kCycles) << "requests and replies of every cycle captured";
  EXPECT_EQ(Filter("_ws.malformed || _ws.expert.severity == error", "-T fields -e frame.number "
                                                                    "-e _ws.expert.message"),
            "");
  EXPECT_EQ(Filter("ecatf && !ecat", "-T fields -e frame.number"), "");
  // The first frame of every cycle carries the DC datagram.
  EXPECT_GE(CountLines(Filter("ecat.sub2.cmd == 0x0e", "-T fields -e frame.number")), 2 * kCycles);
  // Every returned LRW counts 3 per DCU over the cycle's two frames: the
  // first (logical 0) maps outputs 1..4 and inputs 1..2 (WKC 4*2 + 2), the
  // second (logical 1440) inputs 3..4 (WKC 2).
  const std::string wkcs =
      Filter("ecat.cmd == 0x0c && eth.src.lg == 1", "-T fields -e ecat.lad -e ecat.sub1.cnt");
  int first = 0, second = 0, other = 0;
  std::istringstream in(wkcs);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "0x00000000\t10") {
      ++first;
    } else if (line == "0x000005a0\t2") {
      ++second;
    } else {
      ++other;
    }
  }
  EXPECT_GE(first, kCycles);
  EXPECT_GE(second, kCycles);
  EXPECT_EQ(other, 0) << wkcs.substr(0, 400);
}

}  // namespace

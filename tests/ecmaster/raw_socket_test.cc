// The raw socket transport over a veth pair, the simulator on the far end:
// with the receive ring and with one recvfrom per frame. Needs root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ecmaster/src/raw_socket.h"
#include "tests/support/sim_bus.h"

namespace {

using ecmaster::ReceivePath;
using Clock = std::chrono::steady_clock;

constexpr size_t kFirstDatagram = 16;
constexpr uint8_t kBrd = 0x07;

// One BRD of 2 bytes at `ado`, datagram index `idx`.
std::vector<uint8_t> Brd(uint8_t idx, uint16_t ado) {
  std::vector<uint8_t> f = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                            0x88, 0xa4, 14, 0x10,
                            kBrd, idx, 0, 0, static_cast<uint8_t>(ado), static_cast<uint8_t>(ado >> 8),
                            2, 0, 0, 0,
                            0, 0, 0, 0};
  return f;
}

struct Reply {
  uint8_t idx;
  uint16_t ado;
  uint16_t wkc;
};

// The reply to one of Brd's frames; false for anything else.
bool ParseReply(const uint8_t* f, int n, Reply* r) {
  if (n < static_cast<int>(kFirstDatagram + 14) || f[12] != 0x88 || f[13] != 0xa4) return false;
  const uint8_t* d = f + kFirstDatagram;
  if (d[0] != kBrd) return false;
  r->idx = d[1];
  r->ado = static_cast<uint16_t>(d[4] | (d[5] << 8));
  r->wkc = static_cast<uint16_t>(d[12] | (d[13] << 8));
  return true;
}

std::string PathName(const ::testing::TestParamInfo<ReceivePath>& info) {
  return info.param == ReceivePath::kRing ? "Ring" : "Copy";
}

class BusRawSocket : public ::testing::TestWithParam<ReceivePath> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and raw sockets";
    bus_ = std::make_unique<simtest::SimBus>(simtest::MakeConfig(2, "eth0"));
    ASSERT_TRUE(bus_->ok()) << bus_->error();
    std::string error;
    socket_ = ecmaster::OpenRawSocketWith(bus_->ifname(), GetParam(), &error);
    ASSERT_NE(socket_, nullptr) << error;
  }

  bool Send(const std::vector<uint8_t>& f) { return socket_->Send(f.data(), f.size()); }
  int Receive(int64_t timeout_ms) {
    return socket_->Receive(buf_, sizeof buf_, timeout_ms * 1000000);
  }

  std::unique_ptr<simtest::SimBus> bus_;
  std::unique_ptr<ecmaster::Transport> socket_;
  uint8_t buf_[1600];
};

// Bursts of 16 frames, as many as the master has in flight at most, in turns
// until the ring has gone round more than three times: every reply comes
// back once, whole, counted by both boards.
TEST_P(BusRawSocket, EveryReplyArrivesOnceAcrossManyTurnsOfTheRing) {
  constexpr int kRounds = 25;
  int complete_rounds = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(Send(Brd(static_cast<uint8_t>(i), 0x0130)));
    std::set<int> seen;
    bool sound = true;
    int n;
    while (seen.size() < 16 && (n = Receive(500)) > 0) {
      Reply r;
      sound = sound && ParseReply(buf_, n, &r) && r.wkc == 2 && r.ado == 0x0130 &&
              seen.insert(r.idx).second;
    }
    if (sound && seen.size() == 16) ++complete_rounds;
  }
  EXPECT_EQ(complete_rounds, kRounds);
}

// A quiet line: Receive waits out its timeout and reports nothing; a reply
// that has already arrived is taken without waiting.
TEST_P(BusRawSocket, WaitsOutTheTimeoutAndTakesWhatHasArrivedAtOnce) {
  const auto t0 = Clock::now();
  EXPECT_EQ(Receive(30), 0);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(30));

  ASSERT_TRUE(Send(Brd(3, 0x0130)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int n = Receive(0);
  Reply r;
  ASSERT_TRUE(ParseReply(buf_, n, &r)) << n;
  EXPECT_EQ(r.idx, 3);
  EXPECT_EQ(Receive(0), 0);
}

// The interface goes down and up again (a replugged cable): the error is
// reported, then Receive waits quietly again and replies flow as before.
TEST_P(BusRawSocket, WaitsAgainAndGetsRepliesAfterTheInterfaceWentDownAndUp) {
  ASSERT_EQ(simtest::RunProgram({"ip", "link", "set", bus_->ifname(), "down"}), 0);
  int down_result = 1;
  for (int i = 0; i < 3 && down_result != -1; ++i) down_result = Receive(20);
  EXPECT_EQ(down_result, -1) << "the failed interface is reported";
  ASSERT_EQ(simtest::RunProgram({"ip", "link", "set", bus_->ifname(), "up"}), 0);

  int errors = 0;
  int quiet = 0;
  for (int i = 0; i < 5; ++i) {
    const int n = Receive(20);
    if (n < 0) ++errors;
    if (n == 0) ++quiet;
  }
  EXPECT_LE(errors, 1) << "an error is reported once, not on every wait";
  EXPECT_GE(quiet, 4);

  bool answered = false;
  for (int attempt = 0; attempt < 20 && !answered; ++attempt) {
    if (!Send(Brd(5, 0x0130))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    Reply r;
    int n;
    while (!answered && (n = Receive(200)) > 0) answered = ParseReply(buf_, n, &r) && r.idx == 5;
  }
  EXPECT_TRUE(answered);
}

INSTANTIATE_TEST_SUITE_P(Paths, BusRawSocket, ::testing::Values(ReceivePath::kRing, ReceivePath::kCopy),
                         PathName);

// A thread waiting on the socket and another taking what has arrived
// without waiting, as the frame port's reader and a held-up waiter do:
// every reply goes to exactly one of them.
TEST(BusRawSocketThreaded, TwoReadersShareTheRingWithoutLossOrDuplicates) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and raw sockets";
  simtest::SimBus bus(simtest::MakeConfig(1, "eth0"));
  ASSERT_TRUE(bus.ok()) << bus.error();
  std::string error;
  auto socket = ecmaster::OpenRawSocketWith(bus.ifname(), ReceivePath::kRing, &error);
  ASSERT_NE(socket, nullptr) << error;

  constexpr int kRounds = 30;
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  auto reader = [&](int64_t timeout_ns, std::vector<int>* tags) {
    uint8_t buf[1600];
    while (!stop.load()) {
      const int n = socket->Receive(buf, sizeof buf, timeout_ns);
      Reply r;
      if (n > 0 && ParseReply(buf, n, &r)) {
        tags->push_back(r.ado);
        received.fetch_add(1);
      } else if (timeout_ns == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
  };
  std::vector<int> waiting_tags, polling_tags;
  std::thread waiting(reader, 20000000, &waiting_tags);
  std::thread polling(reader, 0, &polling_tags);
  int sent = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 16; ++i) {
      // The tag rides in the register address, which the boards leave as it is.
      if (socket->Send(Brd(static_cast<uint8_t>(i), static_cast<uint16_t>(sent)).data(), 30)) ++sent;
    }
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (received.load() < sent && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  stop = true;
  waiting.join();
  polling.join();

  std::multiset<int> all(waiting_tags.begin(), waiting_tags.end());
  all.insert(polling_tags.begin(), polling_tags.end());
  EXPECT_EQ(sent, 16 * kRounds);
  EXPECT_EQ(static_cast<int>(all.size()), sent);
  for (int tag = 0; tag < sent; ++tag) EXPECT_EQ(all.count(tag), 1u) << "tag " << tag;
}

}  // namespace

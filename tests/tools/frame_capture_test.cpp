// The capture's keeping rules on made-up traffic of a 1 ms bus: what a
// healthy run leaves in the file, what a fault keeps around it, and the
// pcap file tshark and Wireshark open.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/capture/frame_capture.h"

namespace {

using capture::FrameSieve;

constexpr int64_t kMs = 1000000;

// An EtherCAT frame of the given datagrams (command, address offset, data
// length, working counter); a reply has the second bit of its source set.
std::vector<uint8_t> Frame(const std::vector<std::array<int, 4>>& datagrams, bool reply) {
  std::vector<uint8_t> f(14, 0xFF);
  for (int i = 6; i < 12; ++i) f[static_cast<size_t>(i)] = reply ? 0x03 : 0x01;
  f[12] = 0x88;
  f[13] = 0xA4;
  size_t body = 0;
  for (const auto& d : datagrams) body += 12u + static_cast<size_t>(d[2]);
  f.push_back(static_cast<uint8_t>(body & 0xFF));
  f.push_back(static_cast<uint8_t>(0x10 | (body >> 8)));
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const auto& d = datagrams[i];
    const uint16_t word = static_cast<uint16_t>(d[2] | (i + 1 < datagrams.size() ? 0x8000 : 0));
    const size_t len = static_cast<size_t>(d[2]);
    const uint8_t header[10] = {static_cast<uint8_t>(d[0]), 0, 0, 0, static_cast<uint8_t>(d[1] & 0xFF),
                                static_cast<uint8_t>(d[1] >> 8), static_cast<uint8_t>(word & 0xFF),
                                static_cast<uint8_t>(word >> 8), 0, 0};
    f.insert(f.end(), header, header + 10);
    f.insert(f.end(), len, 0);
    f.push_back(static_cast<uint8_t>(d[3] & 0xFF));
    f.push_back(static_cast<uint8_t>(d[3] >> 8));
  }
  return f;
}

// The process data of three DCUs (1440 bytes), with the clock spread.
std::vector<uint8_t> Cyclic(bool reply, int wkc) {
  return Frame({{14, 0x0910, 8, reply ? 3 : 0}, {12, 0, 1440, reply ? wkc : 0}}, reply);
}

void Feed(FrameSieve& s, int64_t t, const std::vector<uint8_t>& f) { s.Add(t, f.data(), f.size()); }

// Seconds of a healthy exchange, one state read every 100 ms, with the
// supervision's AL status broadcast read answering OP.
void Healthy(FrameSieve& s, int64_t from_ms, int64_t to_ms) {
  for (int64_t ms = from_ms; ms < to_ms; ++ms) {
    Feed(s, ms * kMs, Cyclic(false, 0));
    Feed(s, ms * kMs + 100000, Cyclic(true, 9));
    if (ms % 100 == 50) {
      Feed(s, ms * kMs + 200000, Frame({{7, 0x0130, 2, 0}}, false));
      auto reply = Frame({{7, 0x0130, 2, 3}}, true);
      reply[14 + 2 + 10] = 0x08;
      Feed(s, ms * kMs + 300000, reply);
    }
  }
}

TEST(FrameSieve, TellsTheCyclicExchangeFromEverythingElse) {
  const auto lrw = Cyclic(false, 0);
  EXPECT_TRUE(FrameSieve::IsCyclic(lrw.data(), lrw.size()));
  const auto lrd_lwr = Frame({{10, 0, 240, 0}, {11, 0, 240, 0}}, false);
  EXPECT_TRUE(FrameSieve::IsCyclic(lrd_lwr.data(), lrd_lwr.size()));
  // The clock spread alone, a state read riding with the exchange, a
  // register read: not the cyclic exchange.
  const auto frmw = Frame({{14, 0x0910, 8, 0}}, false);
  EXPECT_FALSE(FrameSieve::IsCyclic(frmw.data(), frmw.size()));
  const auto mixed = Frame({{12, 0, 64, 0}, {7, 0x0130, 2, 0}}, false);
  EXPECT_FALSE(FrameSieve::IsCyclic(mixed.data(), mixed.size()));
  // Cut short: not a frame to read.
  EXPECT_FALSE(FrameSieve::IsCyclic(lrw.data(), 40));
}

// A healthy 20 s run: start-up and shutdown, the state reads and a
// thin sample stay; the file is well under 10 MB and says what it left out.
TEST(FrameSieve, HealthyTwentySecondsStayUnderTenMegabytes) {
  FrameSieve s;
  Feed(s, 0, Frame({{7, 0x0000, 2, 0}}, false));  // discovery
  Healthy(s, 1, 20001);
  s.Finish();
  const capture::CaptureCounts c = s.counts();
  EXPECT_EQ(c.seen, c.kept + c.left_out);
  EXPECT_GT(c.left_out, 30000u);
  // The start-up up to 100 ms after the first state read in OP (300 frames),
  // the last second (2000), 400 state-read frames, the sample of 1 % of the
  // rest.
  EXPECT_GT(c.kept, 2900u);
  EXPECT_LT(c.kept, 3400u);
  const std::string file = s.PcapFile();
  EXPECT_LT(file.size(), 10u << 20);
  // Nanosecond pcap, Ethernet.
  ASSERT_GE(file.size(), 24u);
  EXPECT_EQ(std::memcmp(file.data(), "\x4d\x3c\xb2\xa1", 4), 0);
  EXPECT_EQ(static_cast<uint8_t>(file[20]), 1);
}

// A reply with a short working counter in the middle of the run keeps every
// cyclic frame of the second before and the second after it.
TEST(FrameSieve, KeepsASecondEachSideOfAShortCounter) {
  FrameSieve quiet;
  Healthy(quiet, 1, 10001);
  quiet.Finish();

  FrameSieve s;
  Healthy(s, 1, 5000);
  Feed(s, 5000 * kMs, Cyclic(false, 0));
  Feed(s, 5000 * kMs + 100000, Cyclic(true, 6));
  Healthy(s, 5001, 10001);
  s.Finish();
  // About 2 s of exchange (4000 frames) more than the quiet run, less the
  // sample that fell in it.
  const int64_t extra = static_cast<int64_t>(s.counts().kept) - static_cast<int64_t>(quiet.counts().kept);
  EXPECT_GT(extra, 3900);
  EXPECT_LT(extra, 4100);
}

// A start-up that never sees every board in OP is kept for a second.
TEST(FrameSieve, StartUpLastsUntilEveryBoardIsSeenInOp) {
  FrameSieve s;
  for (int64_t ms = 0; ms < 3000; ++ms) {
    Feed(s, ms * kMs, Cyclic(false, 0));
    Feed(s, ms * kMs + 100000, Cyclic(true, 9));
  }
  s.Finish();
  // The first and the last second, and the sample of the one between.
  EXPECT_GT(s.counts().kept, 4000u);
  EXPECT_LT(s.counts().kept, 4100u);
}

// A frame that did not come back, and a board seen outside OP, count as
// trouble as a short counter does.
TEST(FrameSieve, KeepsTheExchangeAroundALostFrameAndABoardOutsideOp) {
  FrameSieve quiet;
  Healthy(quiet, 1, 10001);
  quiet.Finish();
  const uint64_t base = quiet.counts().kept;

  FrameSieve lost;
  Healthy(lost, 1, 5000);
  Feed(lost, 5000 * kMs, Cyclic(false, 0));  // no reply
  Healthy(lost, 5001, 10001);
  lost.Finish();
  EXPECT_GT(lost.counts().kept, base + 3500);

  FrameSieve safe_op;
  Healthy(safe_op, 1, 5000);
  Feed(safe_op, 5000 * kMs, Frame({{7, 0x0130, 2, 0}}, false));
  auto reply = Frame({{7, 0x0130, 2, 3}}, true);
  reply[14 + 2 + 10] = 0x14;  // SAFE_OP + ERROR
  Feed(safe_op, 5000 * kMs + 300000, reply);
  Healthy(safe_op, 5001, 10001);
  safe_op.Finish();
  EXPECT_GT(safe_op.counts().kept, base + 3500);
}

}  // namespace

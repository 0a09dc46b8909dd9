// Frame layer: datagram layout, reply matching, rejection of foreign and
// damaged frames, resending, bounded waits.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "ecmaster/src/frame_port.h"
#include "tests/ecmaster/fake_transport.h"

namespace {

using ecmaster::FramePort;
using ecmaster_test::AddWkc;
using ecmaster_test::FakeTransport;
using ecmaster_test::Frame;

// Answers every frame as one slave would: +1 on each datagram, reads get
// 0xA5 bytes.
std::vector<Frame> OneSlave(const Frame& sent) {
  Frame r = sent;
  size_t off = 16;
  for (;;) {
    const uint16_t lw = static_cast<uint16_t>(r[off + 6] | (r[off + 7] << 8));
    const size_t len = lw & 0x07FF;
    if (r[off] == EC_CMD_FPRD || r[off] == EC_CMD_BRD) {
      std::memset(&r[off + 10], 0xA5, len);
    }
    if (!(lw & 0x8000)) break;
    off += 12 + len;
  }
  AddWkc(r, 1);
  r[6] |= 0x02;  // the slave marks the source address as local
  return {r};
}

TEST(FramePort, BuildsDatagramsAsTheWireFormatDemands) {
  FakeTransport t([](const Frame&) { return std::vector<Frame>{}; });
  FramePort port;
  port.Attach(&t);
  const int idx = port.Claim();
  ASSERT_GE(idx, 0);
  const uint8_t data[2] = {0x12, 0x00};
  const size_t d1 = port.Setup(idx, EC_CMD_FPWR, 0x1001, 0x0120, 2, data);
  const size_t d2 = port.Append(idx, EC_CMD_FPRD, 0x1002, 0x0130, 6, data);
  const uint8_t* f = port.TxFrame(idx);
  // Ethernet header: broadcast, fixed source, EtherType 0x88A4.
  EXPECT_EQ(f[0], 0xff);
  EXPECT_EQ(f[6], 0x01);
  EXPECT_EQ(f[12], 0x88);
  EXPECT_EQ(f[13], 0xa4);
  // Frame header: type 1, length of both datagrams.
  EXPECT_EQ(ecmaster::GetLe16(f + 14), 0x1000 | (12 + 2 + 12 + 6));
  EXPECT_EQ(d1, 26u);
  EXPECT_EQ(f[16], EC_CMD_FPWR);
  EXPECT_EQ(f[17], idx);
  EXPECT_EQ(ecmaster::GetLe16(f + 18), 0x1001);
  EXPECT_EQ(ecmaster::GetLe16(f + 20), 0x0120);
  EXPECT_EQ(ecmaster::GetLe16(f + 22), 0x8000 | 2);  // more datagrams follow
  EXPECT_EQ(f[26], 0x12);
  EXPECT_EQ(d2, d1 + 2 + 2 + 10);
  EXPECT_EQ(ecmaster::GetLe16(f + d2 - 4), 6);  // last one: no follow bit
  // Read commands go out zero-filled, whatever the caller passed.
  EXPECT_EQ(f[d2], 0);
  port.Release(idx);
}

TEST(FramePort, ClaimsIndicesInTurnAndRunsOut) {
  FakeTransport t([](const Frame&) { return std::vector<Frame>{}; });
  FramePort port;
  EXPECT_EQ(port.Claim(), -1) << "no transport attached";
  port.Attach(&t);
  for (int i = 0; i < FramePort::kBuffers; ++i) EXPECT_EQ(port.Claim(), i);
  EXPECT_EQ(port.Claim(), -1) << "all in use: fail, do not wait";
  port.Release(3);
  port.Release(9);
  EXPECT_EQ(port.Claim(), 3) << "next free after the last claimed, wrapping";
}

TEST(FramePort, TransferReturnsLastWkcAndCopiesReadData) {
  FakeTransport t(OneSlave);
  FramePort port;
  port.Attach(&t);
  uint8_t d[4] = {0, 0, 0, 0};
  EXPECT_EQ(port.Transfer(EC_CMD_FPRD, 0x1001, 0x0130, 4, d, 2000), 1);
  EXPECT_EQ(d[0], 0xA5);
  EXPECT_EQ(d[3], 0xA5);
  uint8_t w[2] = {0x34, 0x12};
  EXPECT_EQ(port.Transfer(EC_CMD_FPWR, 0x1001, 0x0120, 2, w, 2000), 1);
  EXPECT_EQ(w[0], 0x34) << "writes are not copied back";

  // A reply nobody incremented is still an answer: WKC 0, no resend.
  FakeTransport nobody([](const Frame& sent) { return std::vector<Frame>{sent}; });
  port.Attach(&nobody);
  EXPECT_EQ(port.Transfer(EC_CMD_FPRD, 0x1009, 0x0130, 2, d, EC_TIMEOUTRET3), 0);
  EXPECT_EQ(nobody.sent(), 1);
}

TEST(FramePort, IgnoresForeignTruncatedAndStaleFrames) {
  FakeTransport t([](const Frame& sent) {
    std::vector<Frame> out;
    Frame other_type = sent;  // not EtherCAT
    other_type[12] = 0x08;
    other_type[13] = 0x00;
    out.push_back(other_type);
    Frame truncated(sent.begin(), sent.end() - 3);
    AddWkc(truncated, 1);
    out.push_back(truncated);
    Frame stale = sent;  // same index, other register: an old reply
    stale[20] ^= 0x10;
    AddWkc(stale, 7);
    out.push_back(stale);
    Frame bad_type = sent;  // frame header type 0
    bad_type[15] &= 0x0F;
    out.push_back(bad_type);
    out.push_back(Frame(sent.begin(), sent.begin() + 20));  // runt
    Frame unknown_index = sent;
    unknown_index[17] = 0x4F;
    out.push_back(unknown_index);
    Frame good = sent;
    good.resize(good.size() + 20, 0);  // padding behind the datagrams
    AddWkc(good, 3);
    out.push_back(good);
    return out;
  });
  FramePort port;
  port.Attach(&t);
  uint8_t d[2] = {0, 0};
  EXPECT_EQ(port.Transfer(EC_CMD_FPRD, 0x1001, 0x0130, 2, d, 2000), 3);
}

TEST(FramePort, ResendsAfterALostFrameAndGivesUpAtTheTimeout) {
  int calls = 0;
  FakeTransport t([&](const Frame& sent) {
    if (++calls == 1) return std::vector<Frame>{};  // first one lost
    return OneSlave(sent);
  });
  FramePort port;
  port.Attach(&t);
  uint8_t d[2];
  // A timeout far above the 2 ms between tries, so that a busy machine that
  // wakes this thread late still sees the second try.
  constexpr int kTimeoutUs = 100000;
  EXPECT_EQ(port.Transfer(EC_CMD_FPRD, 0x1001, 0x0130, 2, d, kTimeoutUs), 1);
  EXPECT_EQ(t.sent(), 2);

  FakeTransport silent([](const Frame&) { return std::vector<Frame>{}; });
  port.Attach(&silent);
  EXPECT_EQ(port.Transfer(EC_CMD_FPRD, 0x1001, 0x0130, 2, d, kTimeoutUs), EC_NOFRAME);
  EXPECT_GE(silent.sent(), 2) << "the same frame goes out again after 2 ms";
  // A zero timeout is a single try that still looks at what has arrived.
  FakeTransport quick(OneSlave);
  port.Attach(&quick);
  EXPECT_EQ(port.Transfer(EC_CMD_BRD, 0, 0x0130, 2, d, 0), 1);
  EXPECT_EQ(quick.sent(), 1);
}

// Two threads exchange frames at the same time while replies come back in
// reverse order: each must get exactly its own replies.
TEST(FramePortThreaded, ConcurrentWaitersGetTheirOwnReplies) {
  FakeTransport t([](const Frame& sent) {
    Frame r = sent;
    // Echo the payload, plus one in the first byte, so a mix-up shows.
    r[26] = static_cast<uint8_t>(r[26] + 1);
    AddWkc(r, 1);
    return std::vector<Frame>{r};
  });
  t.set_lifo(true);
  FramePort port;
  port.Attach(&t);
  std::atomic<int> errors{0};
  auto worker = [&](uint8_t tag) {
    for (int i = 0; i < 1500; ++i) {
      uint8_t d[4] = {static_cast<uint8_t>(i), tag, static_cast<uint8_t>(i >> 8), tag};
      const int wkc = port.Transfer(EC_CMD_APRW, 0, 0x0F00, 4, d, EC_TIMEOUTRET3);
      if (wkc != 1 || d[0] != static_cast<uint8_t>(i + 1) || d[1] != tag || d[3] != tag) {
        errors.fetch_add(1);
      }
    }
  };
  std::thread a(worker, 0x11);
  std::thread b(worker, 0x22);
  a.join();
  b.join();
  EXPECT_EQ(errors.load(), 0);
  // A waiter held up for more than 2 ms (a slow or loaded machine) sends its
  // frame again; that is allowed, losing a frame is not.
  EXPECT_GE(t.sent(), 3000);
}

}  // namespace

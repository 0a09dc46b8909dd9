// The cyclic path: no heap allocation, one send and one receive per frame.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "ecmaster/context.h"
#include "ethercat.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};
}  // namespace

// Counts every allocation made while g_counting is set.
__attribute__((noinline)) void* operator new(std::size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
// Not inlined: the compiler would otherwise pair free() with the new
// expressions of its callers and warn about a mismatch.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Answers every frame from fixed buffers: LRW +3 per datagram, anything else
// +1, and fills the clock datagram's data.
class EchoTransport : public ecmaster::Transport {
 public:
  bool Send(const uint8_t* frame, size_t len) override {
    ++sends;
    if (count_ == kSlots || len > sizeof slots_[0].data) return true;
    Slot& s = slots_[(head_ + count_++) % kSlots];
    std::memcpy(s.data, frame, len);
    s.len = len;
    size_t off = 16;
    for (;;) {
      const uint16_t lw = static_cast<uint16_t>(s.data[off + 6] | (s.data[off + 7] << 8));
      const size_t dlen = lw & 0x07FF;
      uint8_t* w = s.data + off + 10 + dlen;
      if (s.data[off] == EC_CMD_FRMW) {
        for (int i = 0; i < 8; ++i) s.data[off + 10 + i] = static_cast<uint8_t>(0x11 * (i + 1));
      }
      w[0] = static_cast<uint8_t>(w[0] + (s.data[off] == EC_CMD_LRW ? 3 : 1));
      if (!(lw & 0x8000)) break;
      off += 12 + dlen;
    }
    return true;
  }
  int Receive(uint8_t* buf, size_t cap, int64_t) override {
    ++receives;
    if (count_ == 0) return 0;
    Slot& s = slots_[head_];
    head_ = (head_ + 1) % kSlots;
    --count_;
    const size_t n = s.len < cap ? s.len : cap;
    std::memcpy(buf, s.data, n);
    return static_cast<int>(n);
  }
  int sends = 0;
  int receives = 0;

 private:
  static constexpr size_t kSlots = 16;
  struct Slot {
    uint8_t data[1536];
    size_t len;
  };
  Slot slots_[kSlots];
  size_t head_ = 0;
  size_t count_ = 0;
};

TEST(RealTimePath, NoAllocationAndOneSendOneReceivePerFrame) {
  auto owned = std::make_unique<EchoTransport>();
  EchoTransport* t = owned.get();
  ASSERT_TRUE(ecmaster::OpenDefaultContext(std::move(owned)));
  // The overlap send copies the image behind the outputs: 2 * Obytes + Ibytes.
  static uint8_t iomap[3000];
  std::memset(ec_group, 0, sizeof ec_group);
  ec_group[0].outputs = iomap;
  ec_group[0].Obytes = 1000;
  ec_group[0].inputs = iomap + 1000;
  ec_group[0].Ibytes = 1000;
  ec_group[0].nsegments = 2;
  ec_group[0].IOsegment[0] = 1200;
  ec_group[0].IOsegment[1] = 800;
  ec_group[0].hasdc = TRUE;
  ec_DCtime = 0;

  constexpr int kCycles = 1000;
  g_allocations = 0;
  g_counting = true;
  int good = 0;
  for (int c = 0; c < kCycles; ++c) {
    ec_send_processdata();
    if (ec_receive_processdata(EC_TIMEOUTRET) == 6) ++good;
  }
  ec_send_overlap_processdata();
  ec_receive_processdata(EC_TIMEOUTRET);
  g_counting = false;

  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(good, kCycles);
  EXPECT_EQ(t->sends, 2 * (kCycles + 1));
  EXPECT_EQ(t->receives, 2 * (kCycles + 1));
  EXPECT_EQ(static_cast<uint64_t>(ec_DCtime), 0x8877665544332211ull) << "clock from the FRMW data";
  std::memset(ec_group, 0, sizeof ec_group);
  ec_close();
}

}  // namespace
